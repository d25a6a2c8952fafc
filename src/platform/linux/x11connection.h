#pragma once

#include <X11/Xlib.h>

namespace platform::native {

// The layer's shared X connection for short requests (window lookups,
// monitor lists). Threads that stream (capturers) open their own.
// Null when no display can be opened or the connection broke.
Display* SharedDisplay();

// An owned connection, closed on destruction (unless it broke).
class X11Connection {
 public:
  X11Connection();
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;
  Display* get() const { return m_display; }
  explicit operator bool() const { return m_display != nullptr; }

 private:
  Display* m_display = nullptr;
};

}  // namespace platform::native
