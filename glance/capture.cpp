// A capture's life: opening the target, its events, following the monitor
// layout and the worker loop.

#include <X11/Xlib.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "capture.h"

namespace glance {

namespace {

constexpr char kInterfaceKey[] = GLANCE_INTERFACE_KEY;
// Frames come no faster than this, however often the window repaints.
constexpr auto kMinFrameInterval = std::chrono::microseconds(16667);
constexpr int kPollMs = 16;
// How often a monitor capture looks at the monitor list without an event.
constexpr auto kLayoutCheckInterval = std::chrono::seconds(1);
// A monitor missing from the list is given up when it is still missing this
// long after it was first missed: a layout being changed may lack it for a
// moment.
constexpr auto kMissingMonitorGrace = std::chrono::milliseconds(900);

}  // namespace

bool Capture::Init(const GlancerConfig& config) {
  if (config.interfaceKey.size() != sizeof(kInterfaceKey) - 1 ||
      config.interfaceKey != kInterfaceKey)
    return false;
  Stop();
  m_config = config;
  InitThreadsOnce();
  m_display = XOpenDisplay(nullptr);
  if (!m_display) return false;
  m_broken = false;
  XSetIOErrorExitHandler(m_display, MarkBroken, &m_broken);
  WatchErrors(m_display);
  if (!Open()) {
    Release();
    return false;
  }
  return true;
}

bool Capture::Start() {
  if (!m_display) return true;  // nothing to capture
  if (m_running) return true;
  if (m_thread.joinable()) m_thread.join();
  m_running = true;
  m_thread = std::thread([self = shared_from_this()] { self->Run(); });
  return true;
}

bool Capture::Stop() {
  m_running = false;
  // From a callback: the worker ends by itself; the release follows later.
  if (OnWorker()) return true;
  if (m_thread.joinable()) m_thread.join();
  std::lock_guard<std::mutex> lock(m_mutex);
  Release();
  return true;
}

void Capture::Abandon() {
  if (!OnWorker()) {
    Stop();
    return;
  }
  m_running = false;
  m_releaseOnExit = true;
  m_thread.detach();
}

bool Capture::Open() {
  Display* d = m_display;
  int errorBase = 0;
  if (!HasComposite(d) || !XDamageQueryExtension(d, &m_damageEvent, &errorBase)) return false;
  m_haveFixes = XFixesQueryExtension(d, &m_fixesEvent, &errorBase);
  int shmMajor = 0, shmMinor = 0;
  Bool shmPixmaps = False;
  m_haveShm = XShmQueryVersion(d, &shmMajor, &shmMinor, &shmPixmaps);
  m_root = DefaultRootWindow(d);
  if (m_config.window) {
    m_target = Window(m_config.window);
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(d, m_target, &attrs) || HadError(d)) return false;
    XSelectInput(d, m_target, StructureNotifyMask);
    XCompositeRedirectWindow(d, m_target, CompositeRedirectAutomatic);
    if (HadError(d)) return false;
    m_redirected = true;
    m_mapped = attrs.map_state == IsViewable;
    m_width = attrs.width;
    m_height = attrs.height;
    m_border = attrs.border_width;
    m_visual = attrs.visual;
    m_depth = attrs.depth;
  } else {
    m_target = m_root;
    m_visual = DefaultVisual(d, DefaultScreen(d));
    m_depth = DefaultDepth(d, DefaultScreen(d));
    m_haveRandr = XRRQueryExtension(d, &m_randrEvent, &errorBase);
    if (m_haveRandr)
      XRRSelectInput(d, m_root,
                     RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    if (!MonitorRect()) return false;
    const GlancerRect& r = m_config.region;
    if (r.right > r.left && r.bottom > r.top) m_regionShown = RegionShown();
  }
  // Colour-mapped pixels cannot be turned into colours here: such a
  // target is refused rather than recorded as nothing.
  const int bits = BitsPerPixel(d, m_depth);
  if (!LayoutOf(m_visual, &m_layout) || (bits != 8 && bits != 16 && bits != 24 && bits != 32))
    return false;
  m_damage = XDamageCreate(d, m_target, XDamageReportNonEmpty);
  if (m_haveFixes && m_config.captureCursor)
    XFixesSelectCursorInput(d, m_root, XFixesDisplayCursorNotifyMask);
  return !HadError(d);
}

bool Capture::MonitorRect() {
  Display* d = m_display;
  const int screen = DefaultScreen(d);
  const int screenWidth = DisplayWidth(d, screen), screenHeight = DisplayHeight(d, screen);
  m_mapped = true;
  m_originX = m_originY = 0;
  m_width = screenWidth;
  m_height = screenHeight;
  if (m_config.monitor == 0) return true;
  int count = 0;
  XRRMonitorInfo* monitors = m_haveRandr ? XRRGetMonitors(d, m_root, True, &count) : nullptr;
  const XRRMonitorInfo* found = nullptr;
  for (int i = 0; monitors && i < count && !found; ++i) {
    if (m_monitorName ? monitors[i].name == m_monitorName : uint64_t(i) + 1 == m_config.monitor)
      found = &monitors[i];
  }
  bool ok = false;
  if (found) {
    m_monitorName = found->name;
    m_originX = std::max(0, found->x);
    m_originY = std::max(0, found->y);
    m_width = std::min(found->x + found->width, screenWidth) - m_originX;
    m_height = std::min(found->y + found->height, screenHeight) - m_originY;
    ok = m_width > 0 && m_height > 0;
  } else if (!monitors && m_config.monitor == 1) {
    ok = true;  // no RandR monitors: the screen is the one
  }
  if (monitors) XRRFreeMonitors(monitors);
  return ok;
}

void Capture::Release() {
  if (!m_display) return;
  Display* d = m_display;
  // On a broken connection Xlib may hang on any request or on closing: it
  // is let go.
  DropSharedImage();
  if (!m_broken) {
    if (m_pixmap) XFreePixmap(d, m_pixmap);
    if (!m_closed) {
      if (m_damage) XDamageDestroy(d, m_damage);
      if (m_redirected) XCompositeUnredirectWindow(d, m_target, CompositeRedirectAutomatic);
      if (m_target != m_root && m_target) XSelectInput(d, m_target, NoEventMask);
    }
    HadError(d);
  }
  UnwatchErrors(d);
  if (!m_broken) XCloseDisplay(d);
  m_display = nullptr;
  m_pixmap = 0;
  m_damage = 0;
  m_redirected = false;
  m_target = 0;
  m_closed = false;
  m_monitorName = None;
  m_haveShm = false;
  m_firstMiss.reset();
  m_regionShown = 0;
}

bool Capture::OnWorker() const {
  return m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id();
}

void Capture::Run() {
  pthread_setname_np(pthread_self(), "glance");
  Display* d = m_display;
  bool wanted = true;  // the first frame goes out at once
  auto lastFrame = std::chrono::steady_clock::now() - kMinFrameInterval;
  auto lastLayoutCheck = std::chrono::steady_clock::now();
  while (m_running && !m_broken) {
    bool closedNow = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      bool layoutChanged = false;
      wanted |= DrainEvents(&closedNow, &layoutChanged);
      // Monitors set by hand (RandR 1.5) change without an event.
      const auto now = std::chrono::steady_clock::now();
      if (m_target == m_root && (now - lastLayoutCheck >= kLayoutCheckInterval ||
                                 (m_firstMiss && now - *m_firstMiss >= kMissingMonitorGrace)))
        layoutChanged = true;
      if (layoutChanged && !m_closed) {
        lastLayoutCheck = now;
        wanted |= FollowLayout(&closedNow);
      }
      if (m_haveFixes && m_config.captureCursor && !m_closed) wanted |= PointerMoved();
    }
    if (closedNow && m_config.onClosed && m_running) m_config.onClosed();
    const auto now = std::chrono::steady_clock::now();
    if (wanted && !m_closed && m_mapped && now - lastFrame >= kMinFrameInterval) {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_running) break;
      if (CaptureFrame()) lastFrame = now;
      wanted = false;
    }
    if (!m_running) break;
    // Events that Xlib read in during the last requests wait in its queue,
    // not on the socket; a frame held back waits only for its time.
    int timeout = kPollMs;
    if (XEventsQueued(d, QueuedAlready) > 0) {
      timeout = 0;
    } else if (wanted && !m_closed && m_mapped) {
      const auto left = lastFrame + kMinFrameInterval - std::chrono::steady_clock::now();
      timeout = int(std::clamp<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1, 0, kPollMs));
    }
    pollfd fd{ConnectionNumber(d), POLLIN, 0};
    poll(&fd, 1, timeout);
  }
  if (m_releaseOnExit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Release();
  }
}

int64_t Capture::RegionShown() const {
  const GlancerRect& r = m_config.region;
  const int w = std::min(r.right, m_width) - std::max(r.left, 0);
  const int h = std::min(r.bottom, m_height) - std::max(r.top, 0);
  return w > 0 && h > 0 ? int64_t(w) * h : 0;
}

bool Capture::FollowLayout(bool* closedNow) {
  const int x = m_originX, y = m_originY, w = m_width, h = m_height;
  if (!MonitorRect()) {
    m_originX = x;
    m_originY = y;
    m_width = w;
    m_height = h;
    const auto now = std::chrono::steady_clock::now();
    if (!m_firstMiss) m_firstMiss = now;
    if (now - *m_firstMiss < kMissingMonitorGrace) return false;
    m_closed = true;
    *closedNow = true;
    return false;
  }
  m_firstMiss.reset();
  if (m_regionShown > 0 && RegionShown() < m_regionShown) {
    m_closed = true;
    *closedNow = true;
    return false;
  }
  return x != m_originX || y != m_originY || w != m_width || h != m_height;
}

bool Capture::DrainEvents(bool* closedNow, bool* layoutChanged) {
  Display* d = m_display;
  bool wanted = false;
  while (XPending(d) > 0) {
    XEvent event;
    XNextEvent(d, &event);
    if (m_haveRandr && event.type == m_randrEvent + RRScreenChangeNotify) {
      XRRUpdateConfiguration(&event);  // the screen size Xlib reports
      *layoutChanged = true;
    } else if (m_haveRandr && event.type == m_randrEvent + RRNotify) {
      *layoutChanged = true;
    } else if (event.type == m_damageEvent + XDamageNotify) {
      wanted = true;
    } else if (m_haveFixes && event.type == m_fixesEvent + XFixesCursorNotify) {
      wanted = true;
    } else if (event.type == DestroyNotify && event.xdestroywindow.window == m_target) {
      if (!m_closed) *closedNow = true;
      m_closed = true;
    } else if (event.type == ConfigureNotify && event.xconfigure.window == m_target) {
      if (event.xconfigure.width != m_width || event.xconfigure.height != m_height ||
          event.xconfigure.border_width != m_border) {
        m_width = event.xconfigure.width;
        m_height = event.xconfigure.height;
        m_border = event.xconfigure.border_width;
        DropPixmap();
        wanted = true;
      }
    } else if (event.type == MapNotify && event.xmap.window == m_target) {
      m_mapped = true;
      DropPixmap();
      wanted = true;
    } else if (event.type == UnmapNotify && event.xunmap.window == m_target) {
      m_mapped = false;
      DropPixmap();
    }
  }
  return wanted;
}

void Capture::DropPixmap() {
  if (m_pixmap) XFreePixmap(m_display, m_pixmap);
  m_pixmap = 0;
}

bool Capture::PointerMoved() {
  Window rootReturn, child;
  int x = 0, y = 0, wx = 0, wy = 0;
  unsigned int mask = 0;
  if (!XQueryPointer(m_display, m_root, &rootReturn, &child, &x, &y, &wx, &wy, &mask))
    return false;
  const bool moved = x != m_pointerX || y != m_pointerY;
  m_pointerX = x;
  m_pointerY = y;
  return moved;
}

}  // namespace glance
