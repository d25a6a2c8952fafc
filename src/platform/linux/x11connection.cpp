#include "platform/linux/x11connection.h"

#include <glog/logging.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/linux/x11errortrap.h"

namespace platform::native {
namespace {
void InitThreadsOnce() {
  static std::once_flag once;
  std::call_once(once, [] { XInitThreads(); });
}
}  // namespace

Display* SharedDisplay() {
  InitThreadsOnce();
  static Display* display = [] {
    Display* d = XOpenDisplay(nullptr);
    if (!d) LOG(ERROR) << "cannot open X display";
    TolerateErrors(d);
    return d;
  }();
  return display && !IsBroken(display) ? display : nullptr;
}

bool DisplayReachable(std::string* why) {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) {
    *why = "DISPLAY is not set: recording needs an X11 display";
    return false;
  }
  if (!SharedDisplay()) {
    *why = std::string("cannot open the X display ") + name;
    return false;
  }
  return true;
}

X11Connection::X11Connection() {
  InitThreadsOnce();
  m_display = XOpenDisplay(nullptr);
  if (!m_display) LOG(ERROR) << "cannot open X display";
  TolerateErrors(m_display);
}

X11Connection::~X11Connection() {
  if (!m_display) return;
  const bool broken = IsBroken(m_display);
  ForgetConnection(m_display);
  if (!broken) XCloseDisplay(m_display);
}

}  // namespace platform::native
