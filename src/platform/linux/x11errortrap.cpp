#include "platform/linux/x11errortrap.h"

#include <map>
#include <mutex>

namespace platform::native {
namespace {

std::mutex g_mutex;
std::map<Display*, bool> g_trapped;  // connection -> an error arrived
XErrorHandler g_previous = nullptr;

int OnError(Display* display, XErrorEvent* event) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_trapped.find(display);
    if (it != g_trapped.end()) {
      it->second = true;
      return 0;
    }
  }
  return g_previous ? g_previous(display, event) : 0;
}

}  // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : m_display(display) {
  static std::once_flag once;
  std::call_once(once, [] { g_previous = XSetErrorHandler(OnError); });
  XSync(m_display, False);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_trapped[m_display] = false;
}

X11ErrorTrap::~X11ErrorTrap() {
  XSync(m_display, False);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_trapped.erase(m_display);
}

bool X11ErrorTrap::Failed() {
  XSync(m_display, False);
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_trapped[m_display];
}

}  // namespace platform::native
