#pragma once

#include <cstdint>
#include <string>

// The platform layer: everything the program needs from the operating system
// goes through the facilities declared beside this header. Each facility has a
// real backend (src/platform/linux) and a scriptable fake (src/platform/fake);
// which one serves is decided here, once per process.
namespace platform {

// Outcomes that callers branch on.
enum class Result { Ok, AccessLost, Timeout, DeviceInvalidated, Unsupported, Failed };

const char* ResultName(Result result);

// Wayland: a Wayland session, whose program windows run through XWayland;
// what X11 cannot see there (the screen, global hot keys) comes from the
// desktop portal.
enum class BackendKind { X11, Wayland, Fake };

class Backend {
 public:
  // The real backend for the session (Wayland when XDG_SESSION_TYPE or
  // WAYLAND_DISPLAY say so), unless a test asks for the fake with
  // KORVOREC_PLATFORM=fake or Use.
  static BackendKind Kind();
  // Tests switch to the fake before touching any facility.
  static void Use(BackendKind kind);
  static bool IsFake() { return Kind() == BackendKind::Fake; }
  // Whether the chosen backend can reach its display; *why says why not.
  static bool DisplayReachable(std::string* why);
};

// Opaque handles of the layer.
using WindowId = std::uint64_t;
using MonitorId = std::uint64_t;
using ModuleHandle = void*;

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool IsEmpty() const { return right <= left || bottom <= top; }
  // The part that lies in o (empty when none).
  Rect Intersected(const Rect& o) const {
    return Rect{left > o.left ? left : o.left, top > o.top ? top : o.top,
                right < o.right ? right : o.right, bottom < o.bottom ? bottom : o.bottom};
  }
  Rect Translated(int dx, int dy) const {
    return Rect{left + dx, top + dy, right + dx, bottom + dy};
  }
  bool operator==(const Rect& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
  bool operator!=(const Rect& o) const { return !(*this == o); }
};

}  // namespace platform
