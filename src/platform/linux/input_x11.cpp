#include <X11/Xlib.h>

#include <mutex>

#include "platform/input.h"
#include "platform/linux/x11connection.h"

namespace platform::native {
namespace {

class X11Input : public Input {
 public:
  Result QueryPointer(PointerState* state) override {
    Display* display = SharedDisplay();
    if (!display) return Result::Failed;
    std::lock_guard<std::mutex> lock(m_mutex);
    Window root = 0, child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned int mask = 0;
    // False: the pointer is on another screen of the display.
    const bool sameScreen = XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x,
                                          &y, &wx, &wy, &mask);
    state->x = x;
    state->y = y;
    state->visible = sameScreen;
    state->buttons = ((mask & Button1Mask) ? 1u : 0u) | ((mask & Button2Mask) ? 2u : 0u) |
                     ((mask & Button3Mask) ? 4u : 0u);
    return Result::Ok;
  }

 private:
  std::mutex m_mutex;
};

}  // namespace

Input& InputInstance() {
  static X11Input instance;
  return instance;
}

}  // namespace platform::native
