#pragma once

#include <X11/Xlib.h>

namespace platform::native {

// Errors on this connection are logged and ignored from now on: a window
// that vanishes between two requests must not end the program. Nor does the
// connection breaking: its requests then fail.
void TolerateErrors(Display* display);
// The connection was handed to TolerateErrors.
bool IsTolerated(Display* display);
// A tolerated connection broke: Xlib may hang on any further request or on
// closing it, so its owner makes none and lets it go unclosed.
bool IsBroken(Display* display);
// Before the connection is closed.
void ForgetConnection(Display* display);

// Catches the protocol errors of one connection while it lives, instead of
// Xlib's default handler ending the process. Errors of other connections go
// on to the handler that was installed before. One trap per connection at a
// time.
class X11ErrorTrap {
 public:
  explicit X11ErrorTrap(Display* display);
  ~X11ErrorTrap();
  X11ErrorTrap(const X11ErrorTrap&) = delete;
  X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

  // Syncs with the server; true when an error arrived since the trap was set.
  bool Failed();

 private:
  Display* m_display;
};

}  // namespace platform::native
