// The Xlib connections of the library: threads, protocol errors, Composite.

#include <X11/Xlib.h>
#include <X11/extensions/Xcomposite.h>

#include <atomic>
#include <map>
#include <mutex>

#include "capture.h"

namespace glance {

void InitThreadsOnce() {
  static std::once_flag once;
  std::call_once(once, [] { XInitThreads(); });
}

namespace {

// Protocol errors of our own connections are recorded instead of ending the
// process; those of other connections go to the handler installed before.
std::mutex g_errorMutex;
std::map<Display*, bool> g_errors;
XErrorHandler g_previousHandler = nullptr;

int OnXError(Display* display, XErrorEvent* event) {
  {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    auto it = g_errors.find(display);
    if (it != g_errors.end()) {
      it->second = true;
      return 0;
    }
  }
  return g_previousHandler ? g_previousHandler(display, event) : 0;
}

}  // namespace

void MarkBroken(Display*, void* broken) { static_cast<std::atomic<bool>*>(broken)->store(true); }

void WatchErrors(Display* display) {
  static std::once_flag once;
  std::call_once(once, [] { g_previousHandler = XSetErrorHandler(OnXError); });
  std::lock_guard<std::mutex> lock(g_errorMutex);
  g_errors[display] = false;
}

void UnwatchErrors(Display* display) {
  std::lock_guard<std::mutex> lock(g_errorMutex);
  g_errors.erase(display);
}

bool HadError(Display* display) {
  XSync(display, False);
  std::lock_guard<std::mutex> lock(g_errorMutex);
  const bool had = g_errors[display];
  g_errors[display] = false;
  return had;
}

bool HasComposite(Display* d) {
  int eventBase = 0, errorBase = 0, major = 0, minor = 2;
  if (!XCompositeQueryExtension(d, &eventBase, &errorBase)) return false;
  // Named window pixmaps came with 0.2.
  if (!XCompositeQueryVersion(d, &major, &minor)) return false;
  return major > 0 || minor >= 2;
}

}  // namespace glance
