#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/backend.h"

namespace platform {

// The pointer as the display shows it.
struct CursorImage {
  bool showing = false;
  int x = 0;  // pointer position on the desktop
  int y = 0;
  int hotX = 0;  // hot spot inside the image
  int hotY = 0;
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // premultiplied ARGB, width * height, top-down
};

// Copies parts of the desktop into memory, one request at a time. Used by
// one thread at a time.
class ScreenCopy {
 public:
  virtual ~ScreenCopy() = default;

  // Copies the desktop rectangle into bgra (rect.Width() * 4 bytes a row,
  // top-down, alpha 255). What lies outside the screen is black.
  virtual Result CopyRect(const Rect& rect, uint8_t* bgra) = 0;
  // The pointer's position and image. Failed when it cannot be read.
  virtual Result GetCursor(CursorImage* cursor) = 0;
  // The current contents of one window (its own area, without the frame a
  // window manager adds): packed BGRA, top-down, alpha 255. Failed when the
  // window is gone or shows nothing. *fromScreen: the window keeps no picture
  // of its own (it is not redirected), so this is its area of the screen,
  // windows above it included.
  virtual Result CopyWindow(WindowId window, std::vector<uint8_t>* bgra, int* width,
                            int* height, bool* fromScreen) = 0;
};

// Opens a copier. Failed when the display cannot be reached.
Result OpenScreenCopy(std::unique_ptr<ScreenCopy>* out);

}  // namespace platform
