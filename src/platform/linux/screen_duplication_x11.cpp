#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <glog/logging.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/x11connection.h"
#include "platform/linux/x11errortrap.h"
#include "platform/screen_duplication.h"

namespace platform::native {

std::vector<MonitorInfo> ListMonitors(Display* display);

namespace {

using Clock = std::chrono::steady_clock;
// Frames are handed out at most at this rate, like a 60 Hz display's.
constexpr auto kRefresh = std::chrono::nanoseconds(1000000000 / 60);
// Each copy from the server is a round trip: damaged rows closer than this
// are copied together, and the copies of one frame are at most so many.
constexpr int kBandGap = 64;
constexpr size_t kBands = 8;

// Root-window image of one output through MIT-SHM; XDamage tells when the
// screen changed, XFixes when the pointer shape changed, XQueryPointer where
// the pointer is. A change of the root window's size, or of the output's
// place or size in the monitor layout (or its removal), loses the
// duplication.
class X11Duplication : public ScreenDuplication {
 public:
  explicit X11Duplication(const MonitorInfo& output)
      : m_rect(output.rect), m_name(output.deviceName) {}

  ~X11Duplication() override {
    Display* d = m_connection.get();
    if (!d) return;
    const bool broken = IsBroken(d);
    if (m_damage && !broken) XDamageDestroy(d, m_damage);
    if (m_parts && !broken) XFixesDestroyRegion(d, m_parts);
    if (m_image) {
      if (m_attached && !broken) XShmDetach(d, &m_shm);
      if (!broken) XSync(d, False);
      XDestroyImage(m_image);  // frees nothing of the segment
    }
    if (m_shm.shmaddr && m_shm.shmaddr != reinterpret_cast<char*>(-1)) shmdt(m_shm.shmaddr);
    if (m_cursor) XFree(m_cursor);
  }

  Result Open() {
    Display* d = m_connection.get();
    if (!d) return Result::Failed;
    int major = 0, minor = 0;
    Bool pixmaps = False;
    if (!XShmQueryVersion(d, &major, &minor, &pixmaps)) {
      LOG(ERROR) << "MIT-SHM is not available";
      return Result::Failed;
    }
    int errorBase = 0;
    if (!XDamageQueryExtension(d, &m_damageEvent, &errorBase)) {
      LOG(ERROR) << "XDamage is not available";
      return Result::Failed;
    }
    if (!XFixesQueryExtension(d, &m_fixesEvent, &errorBase)) {
      LOG(ERROR) << "XFixes is not available";
      return Result::Failed;
    }
    const int screen = DefaultScreen(d);
    m_root = RootWindow(d, screen);
    m_rootWidth = DisplayWidth(d, screen);
    m_rootHeight = DisplayHeight(d, screen);
    if (m_rect.IsEmpty() || m_rect.left < 0 || m_rect.top < 0 || m_rect.right > m_rootWidth ||
        m_rect.bottom > m_rootHeight) {
      LOG(ERROR) << "output lies outside the screen";
      return Result::Failed;
    }
    m_image = XShmCreateImage(d, DefaultVisual(d, screen), DefaultDepth(d, screen), ZPixmap,
                              nullptr, &m_shm, m_rect.Width(), m_rect.Height());
    if (!m_image || m_image->bits_per_pixel != 32) {
      LOG(ERROR) << "no 32-bit shared image";
      return Result::Failed;
    }
    m_shm.shmid = shmget(IPC_PRIVATE, size_t(m_image->bytes_per_line) * m_image->height,
                         IPC_CREAT | 0600);
    if (m_shm.shmid < 0) return Result::Failed;
    m_shm.shmaddr = m_image->data = static_cast<char*>(shmat(m_shm.shmid, nullptr, 0));
    // Marked for removal now: it goes away with the last detach.
    shmctl(m_shm.shmid, IPC_RMID, nullptr);
    if (m_shm.shmaddr == reinterpret_cast<char*>(-1)) return Result::Failed;
    // Mapped now rather than at the first frame, whose capture it would delay.
    std::memset(m_shm.shmaddr, 0, size_t(m_image->bytes_per_line) * m_image->height);
    m_shm.readOnly = False;
    if (!XShmAttach(d, &m_shm)) return Result::Failed;
    m_attached = true;
    // The server's first copy into the segment takes tens of milliseconds;
    // done now, it does not delay the first frame past the next refresh.
    if (!XShmGetImage(d, m_root, m_image, m_rect.left, m_rect.top, AllPlanes)) return Result::Failed;
    m_damage = XDamageCreate(d, m_root, XDamageReportNonEmpty);
    m_parts = XFixesCreateRegion(d, nullptr, 0);
    XFixesSelectCursorInput(d, m_root, XFixesDisplayCursorNotifyMask);
    XSelectInput(d, m_root, StructureNotifyMask);
    XSync(d, False);
    return Result::Ok;
  }

  int Width() const override { return m_rect.Width(); }
  int Height() const override { return m_rect.Height(); }

  Result AcquireNextFrame(int timeoutMs, DuplicationFrameInfo* info) override {
    Display* d = m_connection.get();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (IsBroken(d)) return Result::Failed;
      DrainEvents();
      if (m_lost) return Result::AccessLost;
      const bool moved = QueryPointer();
      m_moved = m_moved || moved;
      const bool changed = m_first || m_damaged || m_shapeChanged || m_moved;
      const auto now = Clock::now();
      // Changes are presented once per refresh, on the one grid of refreshes
      // that starts with the first frame, as a display would; a frame is
      // dated by the refresh it is presented at.
      if (changed && now >= m_nextPresent) {
        const Clock::time_point present =
            m_first ? now : m_nextPresent + (now - m_nextPresent) / kRefresh * kRefresh;
        m_nextPresent = present + kRefresh;
        m_changes.clear();
        if (m_damaged) {
          XDamageSubtract(d, m_damage, None, m_parts);
          TakeChanges();
        }
        m_changesKnown = !m_first;
        if (!Fetch()) {
          LOG(ERROR) << "XShmGetImage failed";
          return Result::Failed;
        }
        *info = DuplicationFrameInfo{};
        info->presentTime =
            std::chrono::duration_cast<std::chrono::microseconds>(present.time_since_epoch()).count();
        if (m_first || m_moved || m_shapeChanged) {
          info->lastPointerUpdate = ++m_pointerUpdates;
          info->pointerX = m_pointerX - m_hotX - m_rect.left;
          info->pointerY = m_pointerY - m_hotY - m_rect.top;
          info->pointerVisible = m_pointerX >= m_rect.left && m_pointerX < m_rect.right &&
                                 m_pointerY >= m_rect.top && m_pointerY < m_rect.bottom;
        }
        if (m_shapeChanged && m_cursor)
          info->pointerShapeBufferSize = uint32_t(m_cursor->width) * m_cursor->height * 4;
        m_first = m_damaged = m_moved = false;
        m_held = true;
        return Result::Ok;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      if (left.count() <= 0) return Result::Timeout;
      // A held-back change waits for its refresh; otherwise look again at
      // the next refresh, as the pointer moves without events (a pointer
      // moved sooner could not be presented sooner).
      const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(
          changed ? m_nextPresent - now : kRefresh);
      pollfd fd{ConnectionNumber(d), POLLIN, 0};
      poll(&fd, 1, static_cast<int>(std::clamp<long>(pause.count(), 1, left.count())));
    }
  }

  uint8_t* FrameData(int* pitch) override {
    if (!m_held) return nullptr;
    *pitch = m_image->bytes_per_line;
    return reinterpret_cast<uint8_t*>(m_image->data);
  }

  bool FrameChanges(std::vector<Rect>* rects) override {
    if (!m_held || !m_changesKnown) return false;
    *rects = m_changes;
    return true;
  }

  Result GetFramePointerShape(uint8_t* buffer, uint32_t size, uint32_t* required,
                              PointerShapeInfo* info) override {
    if (!m_cursor) return Result::Failed;
    const uint32_t needed = uint32_t(m_cursor->width) * m_cursor->height * 4;
    *required = needed;
    if (size < needed) return Result::Failed;
    // XFixes hands 32-bit ARGB values in longs.
    uint32_t* out = reinterpret_cast<uint32_t*>(buffer);
    for (size_t i = 0; i < size_t(m_cursor->width) * m_cursor->height; ++i)
      out[i] = static_cast<uint32_t>(m_cursor->pixels[i]);
    info->type = PointerShapeType::Color;
    info->width = m_cursor->width;
    info->height = m_cursor->height;
    info->pitch = m_cursor->width * 4;
    info->hotX = m_cursor->xhot;
    info->hotY = m_cursor->yhot;
    m_shapeChanged = false;
    return Result::Ok;
  }

  Result ReleaseFrame() override {
    m_held = false;
    DrainEvents();
    return m_lost ? Result::AccessLost : Result::Ok;
  }

 private:
  void DrainEvents() {
    Display* d = m_connection.get();
    while (XPending(d) > 0) {
      XEvent event;
      XNextEvent(d, &event);
      if (event.type == m_damageEvent + XDamageNotify) {
        m_damaged = true;
      } else if (event.type == m_fixesEvent + XFixesCursorNotify) {
        FetchCursor();
      } else if (event.type == ConfigureNotify && event.xconfigure.window == m_root) {
        // Monitor layout changes come as configure events of the root too.
        if (event.xconfigure.width != m_rootWidth || event.xconfigure.height != m_rootHeight ||
            !OutputUnchanged())
          m_lost = true;
      }
    }
    if (!m_cursor) FetchCursor();
  }

  // Brings the image up to the screen: all of it at first, later the bands
  // of rows that the damage touched (whole rows land where they belong in
  // the image); nothing when only the pointer moved. Bands less than
  // kBandGap rows apart are fetched as one, and at most kBands are fetched.
  bool Fetch() {
    Display* d = m_connection.get();
    if (!m_changesKnown) return XShmGetImage(d, m_root, m_image, m_rect.left, m_rect.top, AllPlanes);
    std::vector<std::pair<int, int>> rows;  // top, bottom
    for (const Rect& r : m_changes) rows.push_back({r.top, r.bottom});
    std::sort(rows.begin(), rows.end());
    std::vector<std::pair<int, int>> bands;
    for (const auto& r : rows) {
      if (!bands.empty() && r.first <= bands.back().second + kBandGap)
        bands.back().second = std::max(bands.back().second, r.second);
      else
        bands.push_back(r);
    }
    while (bands.size() > kBands) {
      // The two bands with the fewest rows between them become one.
      size_t closest = 1;
      for (size_t i = 2; i < bands.size(); ++i)
        if (bands[i].first - bands[i - 1].second <
            bands[closest].first - bands[closest - 1].second)
          closest = i;
      bands[closest - 1].second = bands[closest].second;
      bands.erase(bands.begin() + closest);
    }
    char* data = m_image->data;
    const int height = m_image->height;
    Bool ok = True;
    for (const auto& [top, bottom] : bands) {
      m_image->data = data + size_t(top) * m_image->bytes_per_line;
      m_image->height = bottom - top;
      ok = ok && XShmGetImage(d, m_root, m_image, m_rect.left, m_rect.top + top, AllPlanes);
    }
    m_image->data = data;
    m_image->height = height;
    return ok;
  }

  // The damage just subtracted, on the output.
  void TakeChanges() {
    int count = 0;
    XRectangle bounds;
    XRectangle* parts = XFixesFetchRegionAndBounds(m_connection.get(), m_parts, &count, &bounds);
    if (!parts) return;
    for (int i = 0; i < count; ++i) {
      const Rect part{parts[i].x, parts[i].y, parts[i].x + parts[i].width,
                      parts[i].y + parts[i].height};
      const Rect r = part.Intersected(m_rect).Translated(-m_rect.left, -m_rect.top);
      if (!r.IsEmpty()) m_changes.push_back(r);
    }
    XFree(parts);
  }

  bool OutputUnchanged() {
    for (const MonitorInfo& monitor : ListMonitors(m_connection.get()))
      if (monitor.deviceName == m_name) return monitor.rect == m_rect;
    return false;
  }

  void FetchCursor() {
    XFixesCursorImage* cursor = XFixesGetCursorImage(m_connection.get());
    if (!cursor) return;
    if (m_cursor) XFree(m_cursor);
    m_cursor = cursor;
    m_hotX = cursor->xhot;
    m_hotY = cursor->yhot;
    m_shapeChanged = true;
  }

  // True when the pointer moved since the last look.
  bool QueryPointer() {
    Window rootReturn, child;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(m_connection.get(), m_root, &rootReturn, &child, &x, &y, &wx, &wy, &mask))
      return false;
    const bool moved = x != m_pointerX || y != m_pointerY;
    m_pointerX = x;
    m_pointerY = y;
    return moved;
  }

  X11Connection m_connection;
  Rect m_rect;
  std::string m_name;
  Window m_root = 0;
  int m_rootWidth = 0;
  int m_rootHeight = 0;
  XShmSegmentInfo m_shm{};
  XImage* m_image = nullptr;
  bool m_attached = false;
  Damage m_damage = 0;
  XserverRegion m_parts = 0;          // the damage taken with a frame
  std::vector<Rect> m_changes;        // of the held frame, on the output
  bool m_changesKnown = false;
  bool m_moved = false;               // pointer moved since the last frame
  Clock::time_point m_nextPresent{};  // earliest time of the next frame (none yet: at once)
  int m_damageEvent = 0;
  int m_fixesEvent = 0;
  XFixesCursorImage* m_cursor = nullptr;
  int m_hotX = 0;
  int m_hotY = 0;
  int m_pointerX = -1;
  int m_pointerY = -1;
  int64_t m_pointerUpdates = 0;
  bool m_first = true;
  bool m_damaged = false;
  bool m_shapeChanged = false;
  bool m_lost = false;
  bool m_held = false;
};

}  // namespace

Result DuplicateOutput(const MonitorInfo& output, std::unique_ptr<ScreenDuplication>* out) {
  auto duplication = std::make_unique<X11Duplication>(output);
  const Result r = duplication->Open();
  if (r != Result::Ok) return r;
  *out = std::move(duplication);
  return Result::Ok;
}

}  // namespace platform::native
