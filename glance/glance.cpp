#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "glancerinterface.h"

#define GLANCE_EXPORT extern "C" __attribute__((visibility("default")))

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

void InitThreadsOnce() {
  static std::once_flag once;
  std::call_once(once, [] { XInitThreads(); });
}

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

// Called by Xlib when the program's I/O-error handler returned (the default
// ends the process): the connection is broken for good.
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

// Syncs and answers whether an error arrived since the last call.
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

// Where a true-colour visual keeps red, green and blue in a pixel, with a
// table from each channel's values to 8 bits.
struct PixelLayout {
  struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    std::vector<uint8_t> to8;
  };
  Channel channels[3];  // red, green, blue
  bool bgra = false;    // 8 bits each at 16, 8 and 0: pixels are copied as they are
};

// False for visuals whose pixels are colour-map entries rather than colours.
bool LayoutOf(const Visual* visual, PixelLayout* layout) {
  if (!visual || (visual->c_class != TrueColor && visual->c_class != DirectColor)) return false;
  const unsigned long masks[3] = {visual->red_mask, visual->green_mask, visual->blue_mask};
  for (int i = 0; i < 3; ++i) {
    if (masks[i] == 0 || masks[i] > 0xFFFFFFFFul) return false;
    const uint32_t mask = uint32_t(masks[i]);
    const int shift = __builtin_ctz(mask);
    const uint32_t max = mask >> shift;
    if ((max & (max + 1)) != 0 || max > 0xFFFF) return false;  // not one run of bits
    PixelLayout::Channel& channel = layout->channels[i];
    channel.mask = mask;
    channel.shift = shift;
    channel.to8.resize(max + 1);
    for (uint32_t v = 0; v <= max; ++v) channel.to8[v] = uint8_t((v * 255 + max / 2) / max);
  }
  layout->bgra = masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF;
  return true;
}

// Bits a pixel of this depth takes in an image; 0 when the server has none.
int BitsPerPixel(Display* d, int depth) {
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(d, &count);
  int bits = 0;
  for (int i = 0; formats && i < count; ++i)
    if (formats[i].depth == depth) bits = formats[i].bits_per_pixel;
  if (formats) XFree(formats);
  return bits;
}

// One image row of any true-colour layout into opaque BGRA.
void ConvertRow(const uint8_t* src, int width, int bytes, bool msbFirst,
                const PixelLayout& layout, uint32_t* dst) {
  for (int x = 0; x < width; ++x, src += bytes) {
    uint32_t value = 0;
    for (int b = 0; b < bytes; ++b)
      value |= uint32_t(src[b]) << (8 * (msbFirst ? bytes - 1 - b : b));
    uint32_t out = 0xFF000000u;
    for (int i = 0; i < 3; ++i) {
      const PixelLayout::Channel& channel = layout.channels[i];
      out |= uint32_t(channel.to8[(value & channel.mask) >> channel.shift]) << (16 - 8 * i);
    }
    dst[x] = out;
  }
}

// Premultiplied ARGB over an opaque pixel.
uint32_t Blend(uint32_t src, uint32_t dst) {
  const uint32_t a = src >> 24;
  if (a == 0xFF) return src;
  if (src == 0) return dst;
  uint32_t out = 0xFF000000u;
  for (int shift = 0; shift < 24; shift += 8) {
    const uint32_t s = (src >> shift) & 0xFF;
    const uint32_t d = (dst >> shift) & 0xFF;
    out |= std::min<uint32_t>(255, s + (d * (255 - a) + 127) / 255) << shift;
  }
  return out;
}

// Captures one window through its Composite pixmap, or one monitor from the
// root window, on a worker thread of its own. A frame goes out when the
// content changed (XDamage), the size changed or, with the pointer drawn,
// the pointer moved or changed its shape. A monitor follows the screen
// layout. The worker holds a reference, so that the capture outlives a
// caller that deletes its capturer from a callback.
class Capture : public std::enable_shared_from_this<Capture> {
 public:
  ~Capture() { Stop(); }

  bool Init(const GlancerConfig& config) {
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

  bool Start() {
    if (!m_display) return true;  // nothing to capture
    if (m_running) return true;
    if (m_thread.joinable()) m_thread.join();
    m_running = true;
    m_thread = std::thread([self = shared_from_this()] { self->Run(); });
    return true;
  }

  bool Stop() {
    m_running = false;
    // From a callback: the worker ends by itself; the release follows later.
    if (OnWorker()) return true;
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    Release();
    return true;
  }

  // The caller lets go of the capture: from the worker's own callback, the
  // worker ends, releases and drops the last reference by itself.
  void Abandon() {
    if (!OnWorker()) {
      Stop();
      return;
    }
    m_running = false;
    m_releaseOnExit = true;
    m_thread.detach();
  }

 private:
  bool Open() {
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

  // The monitor's area of the root window: monitor n is the n-th (from 1)
  // of the display server's active monitors at Init, followed by its name
  // afterwards; 0 the whole screen. False when the monitor is not there or
  // lies outside the screen.
  bool MonitorRect() {
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

  void Release() {
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

  bool OnWorker() const {
    return m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id();
  }

  void Run() {
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

  // Pixels of the region that lie on the monitor as it stands.
  int64_t RegionShown() const {
    const GlancerRect& r = m_config.region;
    const int w = std::min(r.right, m_width) - std::max(r.left, 0);
    const int h = std::min(r.bottom, m_height) - std::max(r.top, 0);
    return w > 0 && h > 0 ? int64_t(w) * h : 0;
  }

  // Takes the monitor's place after a layout change; true when it moved or
  // changed its size. A monitor that is gone closes the capture once a
  // second look, about a second later, misses it too; until then it keeps
  // its last place. A monitor that shrank under the region closes it too.
  bool FollowLayout(bool* closedNow) {
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

  // Handles the queued events; true when they call for a new frame.
  bool DrainEvents(bool* closedNow, bool* layoutChanged) {
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

  void DropPixmap() {
    if (m_pixmap) XFreePixmap(m_display, m_pixmap);
    m_pixmap = 0;
  }

  bool PointerMoved() {
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

  // Reads the whole target into m_texture (tw x th); false when it cannot.
  bool ReadTexture(int* tw, int* th) {
    Display* d = m_display;
    XDamageSubtract(d, m_damage, None, None);
    Drawable source = m_root;
    int x = m_originX, y = m_originY;
    if (m_target != m_root) {
      if (!m_pixmap) {
        m_pixmap = XCompositeNameWindowPixmap(d, m_target);
        if (HadError(d)) {
          m_pixmap = 0;
          return false;
        }
      }
      // The named pixmap holds the border too.
      source = m_pixmap;
      x = y = m_border;
    }
    // Through shared memory the picture comes in one reply rather than
    // through the socket in pieces, each waiting for the server in turn.
    XImage* image = SharedImage();
    const bool shared = image != nullptr;
    if (shared) {
      if (!XShmGetImage(d, source, image, x, y, AllPlanes)) image = nullptr;
    } else {
      image = XGetImage(d, source, x, y, unsigned(m_width), unsigned(m_height), AllPlanes, ZPixmap);
    }
    if (HadError(d) || !image) {
      if (image && !shared) XDestroyImage(image);
      DropPixmap();
      return false;
    }
    *tw = image->width;
    *th = image->height;
    m_texture.resize(size_t(*tw) * *th);
    // Images of pixmaps carry no colour masks: the window's visual has them.
    const int bytes = image->bits_per_pixel / 8;
    const bool msbFirst = image->byte_order == MSBFirst;
    const bool copy = bytes == 4 && !msbFirst && m_layout.bgra;
    for (int row = 0; row < *th; ++row) {
      const auto* src = reinterpret_cast<const uint8_t*>(image->data) +
                        size_t(row) * image->bytes_per_line;
      uint32_t* dst = m_texture.data() + size_t(row) * *tw;
      if (copy) {
        const auto* pixels = reinterpret_cast<const uint32_t*>(src);
        for (int i = 0; i < *tw; ++i) dst[i] = pixels[i] | 0xFF000000u;
      } else {
        ConvertRow(src, *tw, bytes, msbFirst, m_layout, dst);
      }
    }
    if (!shared) XDestroyImage(image);
    return true;
  }

  // A shared-memory image of the target's size, made at the first frame and
  // again when the size changes; null when shared memory cannot be used.
  XImage* SharedImage() {
    if (!m_haveShm) return nullptr;
    if (m_shmImage && m_shmImage->width == m_width && m_shmImage->height == m_height)
      return m_shmImage;
    DropSharedImage();
    Display* d = m_display;
    XImage* image = XShmCreateImage(d, m_visual, unsigned(m_depth), ZPixmap, nullptr, &m_shm,
                                    unsigned(m_width), unsigned(m_height));
    bool ok = image != nullptr;
    if (ok) {
      m_shm.shmid = shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * image->height,
                           IPC_CREAT | 0600);
      ok = m_shm.shmid >= 0;
    }
    if (ok) {
      m_shm.shmaddr = image->data = static_cast<char*>(shmat(m_shm.shmid, nullptr, 0));
      // Marked for removal now: it goes away with the last detach.
      shmctl(m_shm.shmid, IPC_RMID, nullptr);
      ok = m_shm.shmaddr != reinterpret_cast<char*>(-1);
      if (!ok) m_shm.shmaddr = image->data = nullptr;
    }
    if (ok) {
      m_shm.readOnly = False;
      ok = XShmAttach(d, &m_shm) && !HadError(d);
    }
    m_shmImage = image;
    if (!ok) {
      // A server elsewhere shares no memory with us: the socket it is.
      DropSharedImage();
      m_haveShm = false;
    }
    return m_shmImage;
  }

  void DropSharedImage() {
    if (m_shmImage) {
      if (m_shm.shmaddr && !m_broken) {
        XShmDetach(m_display, &m_shm);
        HadError(m_display);
      }
      m_shmImage->data = nullptr;
      XDestroyImage(m_shmImage);
      m_shmImage = nullptr;
    }
    if (m_shm.shmaddr) shmdt(m_shm.shmaddr);
    m_shm = XShmSegmentInfo{};
  }

  void DrawPointer(int tw, int th) {
    XFixesCursorImage* cursor = XFixesGetCursorImage(m_display);
    if (!cursor) return;
    int originX = m_originX, originY = m_originY;
    if (m_target != m_root) {
      Window child;
      XTranslateCoordinates(m_display, m_target, m_root, 0, 0, &originX, &originY, &child);
    }
    const int left = cursor->x - cursor->xhot - originX;
    const int top = cursor->y - cursor->yhot - originY;
    for (int j = 0; j < cursor->height; ++j) {
      const int y = top + j;
      if (y < 0 || y >= th) continue;
      for (int i = 0; i < cursor->width; ++i) {
        const int x = left + i;
        if (x < 0 || x >= tw) continue;
        uint32_t& pixel = m_texture[size_t(y) * tw + x];
        pixel = Blend(static_cast<uint32_t>(cursor->pixels[size_t(j) * cursor->width + i]), pixel);
      }
    }
    XFree(cursor);
  }

  bool CaptureFrame() {
    int tw = 0, th = 0;
    if (!ReadTexture(&tw, &th)) return false;
    if (m_haveFixes && m_config.captureCursor) DrawPointer(tw, th);

    const GlancerRect& r = m_config.region;
    int w = r.right - r.left;
    int h = r.bottom - r.top;
    const bool whole = w <= 0 || h <= 0;
    if (whole) {
      w = tw;
      h = th;
    }
    // What lies outside the window stays black.
    m_buffer.assign(size_t(w) * h * 4, 0);
    const size_t stride = size_t(w) * 4;
    if (whole) {
      for (int i = 0; i < th; ++i)
        std::memcpy(m_buffer.data() + i * stride, m_texture.data() + size_t(i) * tw, stride);
    } else {
      const int firstRow = std::max(0, -r.top);
      const int firstColumn = std::max(0, -r.left);
      const int rows = std::min(h, th - r.top);
      const int columns = std::min(w, tw - r.left);
      for (int i = firstRow; i < rows; ++i) {
        if (columns <= firstColumn) break;
        std::memcpy(m_buffer.data() + i * stride + size_t(firstColumn) * 4,
                    m_texture.data() + size_t(r.top + i) * tw + r.left + firstColumn,
                    size_t(columns - firstColumn) * 4);
      }
    }
    if (m_config.onFrame) m_config.onFrame(m_buffer.data(), int(m_buffer.size()), w, h);
    return true;
  }

  GlancerConfig m_config;
  Display* m_display = nullptr;
  Window m_root = 0;
  Window m_target = 0;  // the window, or the root for a monitor
  Pixmap m_pixmap = 0;
  Damage m_damage = 0;
  int m_damageEvent = 0;
  int m_fixesEvent = 0;
  int m_randrEvent = 0;
  bool m_haveFixes = false;
  bool m_haveRandr = false;
  Atom m_monitorName = None;  // the captured monitor, once found
  // When the captured monitor was first found missing; none while it is there.
  std::optional<std::chrono::steady_clock::time_point> m_firstMiss;
  int64_t m_regionShown = 0;  // pixels of a region on its monitor at Init
  Visual* m_visual = nullptr;  // the target's
  int m_depth = 0;
  PixelLayout m_layout;
  bool m_haveShm = false;
  XShmSegmentInfo m_shm{};
  XImage* m_shmImage = nullptr;
  bool m_redirected = false;
  bool m_mapped = false;
  bool m_closed = false;
  int m_originX = 0;  // monitor's place on the root window
  int m_originY = 0;
  int m_width = 0;
  int m_height = 0;
  int m_border = 0;
  int m_pointerX = -1;
  int m_pointerY = -1;
  std::vector<uint32_t> m_texture;
  std::vector<uint8_t> m_buffer;
  std::mutex m_mutex;
  std::thread m_thread;
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_broken{false};  // the X connection broke
  bool m_releaseOnExit = false;  // abandoned from the worker, which releases
};

class X11Glancer : public GlancerInterface {
 public:
  ~X11Glancer() override { m_capture->Abandon(); }
  bool Init(const GlancerConfig& config) override { return m_capture->Init(config); }
  bool Start() override { return m_capture->Start(); }
  bool Stop() override { return m_capture->Stop(); }

 private:
  std::shared_ptr<Capture> m_capture = std::make_shared<Capture>();
};

}  // namespace

GLANCE_EXPORT bool DoesGlanceSupported() {
  InitThreadsOnce();
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  int eventBase = 0, errorBase = 0;
  const bool supported = HasComposite(d) && XDamageQueryExtension(d, &eventBase, &errorBase);
  XCloseDisplay(d);
  return supported;
}

GLANCE_EXPORT GlancerInterface* CreateGlancer() { return new X11Glancer(); }
