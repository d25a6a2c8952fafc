#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/backend.h"

namespace platform {

// The class name under which the GUI toolkit registers the program's
// top-level windows; FindWindow matches it against any of our windows.
inline constexpr char kToolkitWindowClass[] = "Qt5152QWindowIcon";

// The role a window declares for itself.
enum class WindowType {
  Normal,
  Dialog,
  Utility,  // tool palettes and the like
  Toolbar,
  Menu,
  Splash,
  Dock,  // panels and task bars
  Desktop,
  Notification,
  Other,  // tooltips, drop-downs, drag icons
};

struct TopLevelWindow {
  WindowId id = 0;
  std::string title;
  std::string className;
  Rect rect;
  bool visible = false;
  bool minimized = false;
  long pid = 0;
  WindowType type = WindowType::Normal;
  bool skipTaskbar = false;  // asks to be left out of task bars
  bool modal = false;        // takes the input of the window it belongs to
  WindowId transientFor = 0;  // the window it belongs to; 0 for none
};

// A message posted to one of our windows by another process.
using WindowMessageHandler =
    std::function<void(WindowId target, uint32_t message, intptr_t wparam, intptr_t lparam)>;

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // First top-level window with this class and title (UTF-8); 0 when none.
  virtual WindowId FindWindow(const std::string& className, const std::string& title) = 0;
  virtual Result PostMessage(WindowId window, uint32_t message, intptr_t wparam,
                             intptr_t lparam) = 0;
  // Delivers messages posted to this process's windows to handler, on the
  // GUI thread; an empty handler stops the delivery. Call once the
  // application object exists.
  virtual void InstallMessageHandler(WindowMessageHandler handler) = 0;

  // Raises the window above the others and gives it the input focus.
  virtual Result Activate(WindowId window) = 0;
  virtual WindowId ForegroundWindow() = 0;
  // Whether a visible window above it in stacking order overlaps it.
  virtual bool IsCovered(WindowId window) = 0;
  virtual Result SetAlwaysOnTop(WindowId window, bool onTop) = 0;
  // Leaves the window out of screen captures.
  virtual Result SetExcludedFromCapture(WindowId window, bool excluded) = 0;
  // Whether the call above can do anything on this window system.
  virtual bool CanExcludeFromCapture() { return false; }
  // Keeps the window out of the taskbar and the window switcher. Call it
  // before each show: a window manager forgets it when the window is hidden.
  virtual Result SetSkipTaskbar(WindowId window, bool skip) = 0;
  // Outer bounds on screen; empty when unknown.
  virtual Rect WindowBounds(WindowId window) = 0;
  // The window's own area on screen, without the frame a window manager
  // draws around it: what a capture of the window holds. Empty when unknown.
  virtual Rect ClientBounds(WindowId window) = 0;
  // Top-level windows, topmost first.
  virtual std::vector<TopLevelWindow> EnumerateTopLevel() = 0;
};

WindowSystem& Windows();

}  // namespace platform
