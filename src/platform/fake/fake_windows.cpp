#include "platform/fake/fake_windows.h"

#include <algorithm>

namespace platform::fake {

FakeWindows& FakeWindows::Instance() {
  static FakeWindows instance;
  return instance;
}

WindowId FakeWindows::FindWindow(const std::string& className, const std::string& title) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& w : m_windows)
    if (w.title == title && (className == kToolkitWindowClass || w.className == className))
      return w.id;
  return 0;
}

Result FakeWindows::PostMessage(WindowId window, uint32_t message, intptr_t wparam,
                                intptr_t lparam) {
  WindowMessageHandler handler;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_windows.begin(), m_windows.end(),
                           [&](const TopLevelWindow& w) { return w.id == window; });
    if (it == m_windows.end()) return Result::Failed;
    handler = m_handler;
  }
  if (handler) handler(window, message, wparam, lparam);
  return Result::Ok;
}

void FakeWindows::InstallMessageHandler(WindowMessageHandler handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_handler = std::move(handler);
}

Result FakeWindows::Activate(WindowId window) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = std::find_if(m_windows.begin(), m_windows.end(),
                         [&](const TopLevelWindow& w) { return w.id == window; });
  if (it == m_windows.end()) return Result::Failed;
  TopLevelWindow w = *it;
  m_windows.erase(it);
  m_windows.insert(m_windows.begin(), w);
  m_foreground = window;
  return Result::Ok;
}

WindowId FakeWindows::ForegroundWindow() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_foreground;
}

bool FakeWindows::IsCovered(WindowId window) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Rect target;
  size_t index = 0;
  for (; index < m_windows.size(); ++index)
    if (m_windows[index].id == window) break;
  if (index == m_windows.size()) return false;
  target = m_windows[index].rect;
  for (size_t i = 0; i < index; ++i) {
    const Rect& r = m_windows[i].rect;
    if (m_windows[i].visible && r.left <= target.right && target.left <= r.right &&
        r.top <= target.bottom && target.top <= r.bottom)
      return true;
  }
  return false;
}

Result FakeWindows::SetAlwaysOnTop(WindowId window, bool onTop) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_onTop.erase(std::remove(m_onTop.begin(), m_onTop.end(), window), m_onTop.end());
  if (onTop) m_onTop.push_back(window);
  return Result::Ok;
}

Result FakeWindows::SetExcludedFromCapture(WindowId, bool) { return Result::Unsupported; }

Result FakeWindows::SetSkipTaskbar(WindowId, bool) { return Result::Ok; }

Rect FakeWindows::WindowBounds(WindowId window) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& w : m_windows)
    if (w.id == window) return w.rect;
  return Rect{};
}

Rect FakeWindows::ClientBounds(WindowId window) { return WindowBounds(window); }

std::vector<TopLevelWindow> FakeWindows::EnumerateTopLevel() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_windows;
}

void FakeWindows::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_windows.clear();
  m_onTop.clear();
  m_foreground = 0;
  m_handler = nullptr;
}

void FakeWindows::AddWindow(const TopLevelWindow& window) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_windows.insert(m_windows.begin(), window);
}

bool FakeWindows::HasMessageHandler() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<bool>(m_handler);
}

std::vector<WindowId> FakeWindows::AlwaysOnTop() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_onTop;
}

}  // namespace platform::fake
