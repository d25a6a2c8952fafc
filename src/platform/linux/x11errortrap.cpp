#include "platform/linux/x11errortrap.h"

#include <glog/logging.h>

#include <map>
#include <mutex>
#include <set>

namespace platform::native {
namespace {

// Constructed on first use: connections are opened during static start-up.
struct State {
  std::mutex mutex;
  std::map<Display*, bool> trapped;  // connection -> an error arrived
  std::set<Display*> tolerant;
  std::set<Display*> broken;
  XErrorHandler previous = nullptr;
};

State& S() {
  static State* state = new State;  // outlives every static destructor
  return *state;
}

int OnError(Display* display, XErrorEvent* event) {
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().trapped.find(display);
    if (it != S().trapped.end()) {
      it->second = true;
      return 0;
    }
    if (S().tolerant.count(display)) {
      char text[256] = {};
      XGetErrorText(display, event->error_code, text, sizeof text);
      LOG(WARNING) << "X error ignored: " << text << " (request " << int(event->request_code)
                   << ", resource 0x" << std::hex << event->resourceid << ")";
      return 0;
    }
  }
  return S().previous ? S().previous(display, event) : 0;
}

// Called by Xlib when the I/O-error handler returned (the default ends the
// process): the connection is broken for good and fails every request.
void MarkBroken(Display* display, void*) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().broken.insert(display);
}

void InstallOnce() {
  static std::once_flag once;
  std::call_once(once, [] { S().previous = XSetErrorHandler(OnError); });
}

}  // namespace

void TolerateErrors(Display* display) {
  if (!display) return;
  InstallOnce();
  XSetIOErrorExitHandler(display, MarkBroken, nullptr);
  std::lock_guard<std::mutex> lock(S().mutex);
  S().tolerant.insert(display);
}

bool IsTolerated(Display* display) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().tolerant.count(display) != 0;
}

bool IsBroken(Display* display) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().broken.count(display) != 0;
}

void ForgetConnection(Display* display) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().tolerant.erase(display);
}

X11ErrorTrap::X11ErrorTrap(Display* display) : m_display(display) {
  InstallOnce();
  XSync(m_display, False);
  std::lock_guard<std::mutex> lock(S().mutex);
  S().trapped[m_display] = false;
}

X11ErrorTrap::~X11ErrorTrap() {
  XSync(m_display, False);
  std::lock_guard<std::mutex> lock(S().mutex);
  S().trapped.erase(m_display);
}

bool X11ErrorTrap::Failed() {
  XSync(m_display, False);
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().trapped[m_display];
}

}  // namespace platform::native
