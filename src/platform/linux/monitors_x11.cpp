#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cmath>
#include <mutex>

#include "platform/linux/x11connection.h"
#include "platform/monitors.h"

namespace platform::native {

std::vector<MonitorInfo> ListMonitors(Display* display) {
  std::vector<MonitorInfo> result;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
  for (int i = 0; i < count; ++i) {
    MonitorInfo info;
    info.id = static_cast<MonitorId>(i + 1);
    info.rect = Rect{monitors[i].x, monitors[i].y, monitors[i].x + monitors[i].width,
                     monitors[i].y + monitors[i].height};
    char* name = XGetAtomName(display, monitors[i].name);
    info.deviceName = name ? name : "";
    if (name) XFree(name);
    info.primary = monitors[i].primary;
    result.push_back(info);
  }
  if (monitors) XRRFreeMonitors(monitors);
  if (result.empty()) {
    // No RandR monitors: the whole screen is one.
    const int screen = DefaultScreen(display);
    result.push_back(MonitorInfo{
        1, Rect{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)}, "screen",
        true});
  }
  return result;
}

namespace {

class X11Monitors : public Monitors {
 public:
  std::vector<MonitorInfo> List() override {
    Display* display = SharedDisplay();
    if (!display) return {};
    std::lock_guard<std::mutex> lock(m_mutex);
    return ListMonitors(display);
  }

  void Dpi(const std::string& deviceName, int* dpiX, int* dpiY) override {
    *dpiX = *dpiY = 96;
    Display* display = SharedDisplay();
    if (!display) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    int count = 0;
    XRRMonitorInfo* monitors =
        XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    for (int i = 0; i < count; ++i) {
      char* name = XGetAtomName(display, monitors[i].name);
      const bool match = name && deviceName == name;
      if (name) XFree(name);
      if (match && monitors[i].mwidth > 0 && monitors[i].mheight > 0) {
        *dpiX = static_cast<int>(std::lround(monitors[i].width * 25.4 / monitors[i].mwidth));
        *dpiY = static_cast<int>(std::lround(monitors[i].height * 25.4 / monitors[i].mheight));
      }
    }
    if (monitors) XRRFreeMonitors(monitors);
  }

 private:
  std::mutex m_mutex;
};

}  // namespace

Monitors& MonitorsInstance() {
  static X11Monitors instance;
  return instance;
}

}  // namespace platform::native
