#pragma once

#include <cstdint>
#include <functional>

#include "platform/backend.h"

namespace platform {

// Every key press and release of the whole desktop, whichever window has the
// keyboard, as the classic PC virtual-key codes ('0'-'9' and 'A'-'Z' as their
// ASCII codes, 0x70 F1, ...). Modifiers come as their left and right codes
// (0xA0-0xA5). Nothing is taken away from the window that has the keyboard.
enum class KeyAction { Down = 0, Up = 1 };

// Called on the GUI thread, from its event loop.
using KeyEventHandler = std::function<void(KeyAction action, uint32_t key)>;

class KeyboardEvents {
 public:
  virtual ~KeyboardEvents() = default;
  // Starts delivering to handler, replacing what was installed before.
  // Failed when the window system cannot report raw keys; Unsupported
  // without a window system. Call on the GUI thread, once the application
  // object exists.
  virtual Result Install(KeyEventHandler handler) = 0;
  // Stops delivery; Failed when nothing was installed.
  virtual Result Uninstall() = 0;
  virtual bool IsInstalled() = 0;
};

KeyboardEvents& GetKeyboardEvents();

}  // namespace platform
