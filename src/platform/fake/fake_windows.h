#pragma once

#include <mutex>
#include <vector>

#include "platform/windows.h"

namespace platform::fake {

// Windows in memory, topmost first. Posted messages go straight to the
// installed handler.
class FakeWindows : public WindowSystem {
 public:
  static FakeWindows& Instance();

  WindowId FindWindow(const std::string& className, const std::string& title) override;
  Result PostMessage(WindowId window, uint32_t message, intptr_t wparam,
                     intptr_t lparam) override;
  void InstallMessageHandler(WindowMessageHandler handler) override;
  Result Activate(WindowId window) override;
  WindowId ForegroundWindow() override;
  bool IsCovered(WindowId window) override;
  Result SetAlwaysOnTop(WindowId window, bool onTop) override;
  Result SetExcludedFromCapture(WindowId window, bool excluded) override;
  Result SetSkipTaskbar(WindowId window, bool skip) override;
  Rect WindowBounds(WindowId window) override;
  // No frames here: the same as the outer bounds.
  Rect ClientBounds(WindowId window) override;
  std::vector<TopLevelWindow> EnumerateTopLevel() override;

  void Reset();
  void AddWindow(const TopLevelWindow& window);  // on top of the others
  std::vector<WindowId> AlwaysOnTop() const;
  bool HasMessageHandler() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<TopLevelWindow> m_windows;
  std::vector<WindowId> m_onTop;
  WindowId m_foreground = 0;
  WindowMessageHandler m_handler;
};

}  // namespace platform::fake
