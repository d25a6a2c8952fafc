#include "recorder/capturedwindowlist.h"

#include <glog/logging.h>

#include "constants.h"
#include "platform/windows.h"

WindowInfo::WindowInfo(platform::WindowId id) : window(id) {
  for (const auto& w : platform::Windows().EnumerateTopLevel()) {
    if (w.id == id) {
      title = w.title;
      className = w.className;
      break;
    }
  }
}

WindowInfo::WindowInfo(platform::WindowId id, std::string title, std::string className)
    : window(id), title(std::move(title)), className(std::move(className)) {}

CapturedWindowList::CapturedWindowList() {
  const auto windows = platform::Windows().EnumerateTopLevel();
  // A shown modal window takes the input of the window it belongs to.
  std::unordered_set<platform::WindowId> disabled;
  for (const auto& w : windows)
    if (w.modal && w.visible && w.transientFor) disabled.insert(w.transientFor);
  for (const auto& w : windows) {
    if (w.title.empty()) continue;
    if (IsCapturable(w, disabled.count(w.id) != 0)) Add(WindowInfo(w.id, w.title, w.className));
  }
}

void CapturedWindowList::Add(const WindowInfo& window) {
  if (!m_handles.insert(window.window).second) return;
  m_windows.push_back(window);
}

bool CapturedWindowList::IsCapturable(const platform::TopLevelWindow& window, bool disabled) {
  using platform::WindowType;
  if (window.minimized) {
    LOG(INFO) << "is iconic handle is " << window.id;
    return false;
  }
  if (window.title.empty()) return false;
  if (window.type == WindowType::Desktop) return false;
  if (!window.visible) return false;
  if (disabled) return false;
  // Panels, palettes, menus, splashes, notifications and whatever stays out
  // of the task bar are parts of something else, not windows of their own.
  if (window.skipTaskbar ||
      (window.type != WindowType::Normal && window.type != WindowType::Dialog))
    return false;
  return !IsExcludedWindow(WindowInfo(window.id, window.title, window.className));
}

bool CapturedWindowList::IsExcludedWindow(const WindowInfo& window) {
  if (window.title.find(kAppName) != std::string::npos) return true;
  if (window.title == "Dialog") return true;
  static const std::pair<const char*, const char*> kShellParts[] = {
      {"Task View", "Windows.UI.Core.CoreWindow"},
      {"DesktopWindowXamlSource", "Windows.UI.Core.CoreWindow"},
      {"PopupHost", "Xaml_WindowedPopupClass"},
  };
  for (const auto& [title, className] : kShellParts)
    if (window.title == title && window.className == className) return true;
  return false;
}

PrintCaptureHelper::~PrintCaptureHelper() { Release(); }

bool PrintCaptureHelper::Init(platform::WindowId window) {
  Release();
  m_window = window;
  const platform::Rect bounds = platform::Windows().WindowBounds(window);
  if (!window || bounds.IsEmpty()) return false;
  if (platform::OpenScreenCopy(&m_screen) != platform::Result::Ok) {
    m_screen.reset();
    return false;
  }
  m_width = bounds.Width();
  m_height = bounds.Height();
  m_imageSize = size_t(m_width) * m_height * 4;
  return true;
}

bool PrintCaptureHelper::Capture() {
  if (!m_screen) return false;
  int width = 0, height = 0;
  if (m_screen->CopyWindow(m_window, &m_bits, &width, &height, &m_fromScreen) !=
      platform::Result::Ok)
    return false;
  m_width = width;
  m_height = height;
  m_imageSize = m_bits.size();
  return true;
}

void PrintCaptureHelper::Release() {
  m_screen.reset();
  m_bits.clear();
  m_width = m_height = 0;
  m_imageSize = 0;
  m_fromScreen = false;
}
