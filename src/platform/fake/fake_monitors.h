#pragma once

#include <map>
#include <mutex>

#include "platform/monitors.h"

namespace platform::fake {

// Scriptable monitors: one 1920x1080 primary "screen0" at 96 dpi by default.
class FakeMonitors : public Monitors {
 public:
  static FakeMonitors& Instance();

  std::vector<MonitorInfo> List() override;
  void Dpi(const std::string& deviceName, int* dpiX, int* dpiY) override;

  void SetMonitors(std::vector<MonitorInfo> monitors);
  void SetDpi(const std::string& deviceName, int dpiX, int dpiY);
  void Reset();

 private:
  FakeMonitors() { Reset(); }
  std::mutex m_mutex;
  std::vector<MonitorInfo> m_monitors;
  std::map<std::string, std::pair<int, int>> m_dpi;
};

}  // namespace platform::fake
