#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xfixes.h>
#include <glog/logging.h>

#include <algorithm>
#include <cstring>

#include "platform/linux/x11connection.h"
#include "platform/linux/x11errortrap.h"
#include "platform/screen_copy.h"

namespace platform::native {
namespace {

// 32-bit images in the byte order of BGRA memory.
bool IsBgra(const XImage* image) {
  return image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
         image->red_mask == 0xFF0000 && image->green_mask == 0xFF00 && image->blue_mask == 0xFF;
}

// Copies the image into rows of stride bytes, alpha made opaque.
void CopyImage(const XImage* image, uint8_t* out, size_t stride) {
  for (int y = 0; y < image->height; ++y) {
    const auto* src = reinterpret_cast<const uint32_t*>(image->data + size_t(y) * image->bytes_per_line);
    auto* dst = reinterpret_cast<uint32_t*>(out + size_t(y) * stride);
    for (int x = 0; x < image->width; ++x) dst[x] = src[x] | 0xFF000000u;
  }
}

// Plain XGetImage requests on a connection of its own; the pointer through
// XFixes.
class X11ScreenCopy : public ScreenCopy {
 public:
  Result Open() {
    Display* d = m_connection.get();
    if (!d) return Result::Failed;
    int eventBase = 0, errorBase = 0;
    m_haveFixes = XFixesQueryExtension(d, &eventBase, &errorBase);
    if (!m_haveFixes) LOG(WARNING) << "XFixes is not available: no pointer image";
    int major = 0, minor = 2;
    m_haveComposite = XCompositeQueryExtension(d, &eventBase, &errorBase) &&
                      XCompositeQueryVersion(d, &major, &minor) && (major > 0 || minor >= 2);
    return Result::Ok;
  }

  Result CopyRect(const Rect& rect, uint8_t* bgra) override {
    Display* d = m_connection.get();
    if (rect.IsEmpty() || IsBroken(d)) return Result::Failed;
    const size_t stride = size_t(rect.Width()) * 4;
    const int screen = DefaultScreen(d);
    const Rect visible =
        rect.Intersected(Rect{0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen)});
    if (visible != rect) std::memset(bgra, 0, stride * rect.Height());
    if (visible.IsEmpty()) return Result::Ok;
    X11ErrorTrap trap(d);
    XImage* image = XGetImage(d, RootWindow(d, screen), visible.left, visible.top,
                              unsigned(visible.Width()), unsigned(visible.Height()), AllPlanes,
                              ZPixmap);
    if (!image || trap.Failed()) {
      if (image) XDestroyImage(image);
      return Result::Failed;
    }
    Result r = Result::Unsupported;
    if (IsBgra(image)) {
      CopyImage(image, bgra + size_t(visible.top - rect.top) * stride +
                           size_t(visible.left - rect.left) * 4,
                stride);
      r = Result::Ok;
    }
    XDestroyImage(image);
    return r;
  }

  Result GetCursor(CursorImage* cursor) override {
    if (!m_haveFixes) return Result::Unsupported;
    XFixesCursorImage* image = XFixesGetCursorImage(m_connection.get());
    if (!image) return Result::Failed;
    cursor->showing = image->width > 0 && image->height > 0;
    cursor->x = image->x;
    cursor->y = image->y;
    cursor->hotX = image->xhot;
    cursor->hotY = image->yhot;
    cursor->width = image->width;
    cursor->height = image->height;
    cursor->pixels.resize(size_t(image->width) * image->height);
    // 32-bit ARGB values carried in longs.
    for (size_t i = 0; i < cursor->pixels.size(); ++i)
      cursor->pixels[i] = static_cast<uint32_t>(image->pixels[i]);
    XFree(image);
    return Result::Ok;
  }

  Result CopyWindow(WindowId window, std::vector<uint8_t>* bgra, int* width, int* height,
                    bool* fromScreen) override {
    Display* d = m_connection.get();
    XWindowAttributes attrs;
    {
      X11ErrorTrap trap(d);
      if (!window || !XGetWindowAttributes(d, Window(window), &attrs) || trap.Failed())
        return Result::Failed;
    }
    if (attrs.map_state != IsViewable || attrs.width <= 0 || attrs.height <= 0)
      return Result::Failed;
    // Traps its own requests: one trap per connection at a time.
    XImage* image = WindowPixmapImage(Window(window), attrs.visual, attrs.width, attrs.height);
    *fromScreen = image == nullptr;
    if (!image) {
      // Not redirected: its area of the screen, with whatever lies above it.
      X11ErrorTrap trap(d);
      image = XGetImage(d, Window(window), 0, 0, unsigned(attrs.width), unsigned(attrs.height),
                        AllPlanes, ZPixmap);
      if (image && trap.Failed()) {
        XDestroyImage(image);
        image = nullptr;
      }
    }
    if (!image) return Result::Failed;
    Result r = Result::Unsupported;
    if (IsBgra(image)) {
      *width = image->width;
      *height = image->height;
      bgra->resize(size_t(image->width) * image->height * 4);
      CopyImage(image, bgra->data(), size_t(image->width) * 4);
      r = Result::Ok;
    }
    XDestroyImage(image);
    return r;
  }

 private:
  // The window's own picture from the Composite pixmap of the window or of
  // the frame around it, whichever is redirected; null when neither is.
  XImage* WindowPixmapImage(Window window, const Visual* visual, int width, int height) {
    if (!m_haveComposite) return nullptr;
    Display* d = m_connection.get();
    for (Window w = window; w;) {
      // A window that vanishes meanwhile fails these requests too.
      X11ErrorTrap trap(d);
      int x = 0, y = 0;
      Window child;
      if (!XTranslateCoordinates(d, window, w, 0, 0, &x, &y, &child)) break;
      const Pixmap pixmap = XCompositeNameWindowPixmap(d, w);
      XImage* image = nullptr;
      if (!trap.Failed()) {
        image = XGetImage(d, pixmap, x, y, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
        XFreePixmap(d, pixmap);
        if (trap.Failed() && image) {
          XDestroyImage(image);
          image = nullptr;
        }
        if (image) {
          // A pixmap has no visual of its own: the window's tells the layout.
          image->red_mask = visual->red_mask;
          image->green_mask = visual->green_mask;
          image->blue_mask = visual->blue_mask;
          return image;
        }
      }
      Window root, parent, *children = nullptr;
      unsigned int n = 0;
      if (!XQueryTree(d, w, &root, &parent, &children, &n)) break;
      if (children) XFree(children);
      w = parent == root ? 0 : parent;
    }
    return nullptr;
  }

  X11Connection m_connection;
  bool m_haveFixes = false;
  bool m_haveComposite = false;
};

}  // namespace

Result OpenScreenCopy(std::unique_ptr<ScreenCopy>* out) {
  auto copy = std::make_unique<X11ScreenCopy>();
  const Result r = copy->Open();
  if (r != Result::Ok) return r;
  *out = std::move(copy);
  return Result::Ok;
}

}  // namespace platform::native
