// Reading one frame: the target's picture, through shared memory where it
// can, the pointer over it and the region cut out of it.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include "capture.h"

namespace glance {

bool Capture::ReadTexture(int* tw, int* th) {
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

XImage* Capture::SharedImage() {
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

void Capture::DropSharedImage() {
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

void Capture::DrawPointer(int tw, int th) {
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

bool Capture::CaptureFrame() {
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

}  // namespace glance
