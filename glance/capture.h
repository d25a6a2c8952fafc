#pragma once

// The capture behind the library's GlancerInterface, and the Xlib helpers
// its source files share.

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/XShm.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "glancerinterface.h"

namespace glance {

// xerrors.cpp
void InitThreadsOnce();
// Called by Xlib when the program's I/O-error handler returned (the default
// ends the process): the connection is broken for good.
void MarkBroken(Display*, void* broken);
// Protocol errors of the display's connection are recorded from now on
// instead of ending the process.
void WatchErrors(Display* display);
void UnwatchErrors(Display* display);
// Syncs and answers whether an error arrived since the last call.
bool HadError(Display* display);
bool HasComposite(Display* d);

// pixels.cpp
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
bool LayoutOf(const Visual* visual, PixelLayout* layout);
// Bits a pixel of this depth takes in an image; 0 when the server has none.
int BitsPerPixel(Display* d, int depth);
// One image row of any true-colour layout into opaque BGRA.
void ConvertRow(const uint8_t* src, int width, int bytes, bool msbFirst,
                const PixelLayout& layout, uint32_t* dst);
// Premultiplied ARGB over an opaque pixel.
uint32_t Blend(uint32_t src, uint32_t dst);

// Captures one window through its Composite pixmap, or one monitor from the
// root window, on a worker thread of its own. A frame goes out when the
// content changed (XDamage), the size changed or, with the pointer drawn,
// the pointer moved or changed its shape. A monitor follows the screen
// layout. The worker holds a reference, so that the capture outlives a
// caller that deletes its capturer from a callback.
// Its life, events and worker loop are in capture.cpp, the reading of a
// frame in capture_frame.cpp.
class Capture : public std::enable_shared_from_this<Capture> {
 public:
  ~Capture() { Stop(); }
  bool Init(const GlancerConfig& config);
  bool Start();
  bool Stop();
  // The caller lets go of the capture: from the worker's own callback, the
  // worker ends, releases and drops the last reference by itself.
  void Abandon();

 private:
  bool Open();
  // The monitor's area of the root window: monitor n is the n-th (from 1)
  // of the display server's active monitors at Init, followed by its name
  // afterwards; 0 the whole screen. False when the monitor is not there or
  // lies outside the screen.
  bool MonitorRect();
  void Release();
  bool OnWorker() const;
  void Run();
  // Pixels of the region that lie on the monitor as it stands.
  int64_t RegionShown() const;
  // Takes the monitor's place after a layout change; true when it moved or
  // changed its size. A monitor that is gone closes the capture once a
  // second look, about a second later, misses it too; until then it keeps
  // its last place. A monitor that shrank under the region closes it too.
  bool FollowLayout(bool* closedNow);
  // Handles the queued events; true when they call for a new frame.
  bool DrainEvents(bool* closedNow, bool* layoutChanged);
  void DropPixmap();
  bool PointerMoved();
  // Reads the whole target into m_texture (tw x th); false when it cannot.
  bool ReadTexture(int* tw, int* th);
  // A shared-memory image of the target's size, made at the first frame and
  // again when the size changes; null when shared memory cannot be used.
  XImage* SharedImage();
  void DropSharedImage();
  void DrawPointer(int tw, int th);
  bool CaptureFrame();

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

}  // namespace glance
