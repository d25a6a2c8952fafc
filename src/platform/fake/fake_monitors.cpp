#include "platform/fake/fake_monitors.h"

namespace platform::fake {

FakeMonitors& FakeMonitors::Instance() {
  static FakeMonitors instance;
  return instance;
}

std::vector<MonitorInfo> FakeMonitors::List() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_monitors;
}

void FakeMonitors::Dpi(const std::string& deviceName, int* dpiX, int* dpiY) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_dpi.find(deviceName);
  *dpiX = it == m_dpi.end() ? 96 : it->second.first;
  *dpiY = it == m_dpi.end() ? 96 : it->second.second;
}

void FakeMonitors::SetMonitors(std::vector<MonitorInfo> monitors) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_monitors = std::move(monitors);
}

void FakeMonitors::SetDpi(const std::string& deviceName, int dpiX, int dpiY) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_dpi[deviceName] = {dpiX, dpiY};
}

void FakeMonitors::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_monitors = {MonitorInfo{1, Rect{0, 0, 1920, 1080}, "screen0", true}};
  m_dpi.clear();
}

}  // namespace platform::fake
