#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/monitors.h"

namespace platform {

// Kinds of pointer shape a duplication reports.
enum class PointerShapeType : int {
  Monochrome = 1,   // AND mask rows, then XOR mask rows; 1 bit a pixel
  Color = 2,        // 32-bit BGRA
  MaskedColor = 4,  // 32-bit; a non-zero alpha byte means XOR with the screen
};

struct PointerShapeInfo {
  PointerShapeType type = PointerShapeType::Color;
  int width = 0;
  int height = 0;  // for Monochrome: twice the visible height (both masks)
  int pitch = 0;   // bytes a row
  int hotX = 0;
  int hotY = 0;
};

// What came with an acquired frame.
struct DuplicationFrameInfo {
  // Non-zero when the pointer's position or visibility was updated with
  // this frame; grows with every update.
  int64_t lastPointerUpdate = 0;
  // Top-left corner of the pointer shape relative to the output's origin.
  int pointerX = 0;
  int pointerY = 0;
  bool pointerVisible = false;
  // Bytes of a new pointer shape to fetch; 0 when the shape did not change.
  uint32_t pointerShapeBufferSize = 0;
  // When the image was presented (µs on the steady clock); 0 when not known.
  int64_t presentTime = 0;
};

// Duplicates one output (monitor) of the desktop: hands out its image each
// time something changed on it. Used by one thread at a time.
class ScreenDuplication {
 public:
  virtual ~ScreenDuplication() = default;

  // Size of the duplicated image.
  virtual int Width() const = 0;
  virtual int Height() const = 0;

  // Waits at most timeoutMs for a changed image. Ok: the image is held until
  // ReleaseFrame. Timeout: nothing changed. AccessLost: the duplication must
  // be re-opened. Failed: anything else.
  virtual Result AcquireNextFrame(int timeoutMs, DuplicationFrameInfo* info) = 0;
  // The held image, BGRA rows of *pitch bytes; null when none is held. It
  // stays valid, and may be drawn into, until the next AcquireNextFrame or
  // the end of the duplication (ReleaseFrame leaves it in place). What is
  // drawn is put back before the next AcquireNextFrame: a duplication may
  // fetch only what changed on the screen into the same image.
  virtual uint8_t* FrameData(int* pitch) = 0;
  // The held image to be read only, as long as FrameData's: the one FrameData
  // gives, or where the duplication can show it without a copy, its own.
  virtual const uint8_t* FrameImage(int* pitch) { return FrameData(pitch); }
  // The parts of the held image that changed since the image handed out
  // before it (image coordinates, possibly overlapping). False when not
  // known: all of it may have changed.
  virtual bool FrameChanges(std::vector<Rect>* rects) {
    (void)rects;
    return false;
  }
  // Copies the new pointer shape (needs *required bytes). Failed when the
  // buffer is too small or no shape is there.
  virtual Result GetFramePointerShape(uint8_t* buffer, uint32_t size, uint32_t* required,
                                      PointerShapeInfo* info) = 0;
  // Gives the held image back. AccessLost: the duplication must be re-opened.
  virtual Result ReleaseFrame() = 0;
};

// Opens the duplication of one output. AccessLost: the desktop is not
// available right now (another session owns it); Failed otherwise.
Result DuplicateOutput(const MonitorInfo& output, std::unique_ptr<ScreenDuplication>* out);

// Opens the duplication of one window that the desktop's own dialog picks
// (a Wayland session's screen cast of a window), asked anew each time. Its
// image is the window's at the size the desktop casts it, which follows the
// window; pointer positions are relative to it. Unsupported where the
// desktop picks no windows (see SessionCapabilities::desktopPicksWindow);
// Failed when the user refuses or the cast breaks.
Result DuplicatePickedWindow(std::unique_ptr<ScreenDuplication>* out);

// Where the desktop asks the user what to share (a Wayland session's screen
// cast), the answer can be kept for later starts as a token: token is the
// one kept so far, save is called with each new one (on any thread).
void KeepScreenCastPermission(const std::string& token,
                              std::function<void(const std::string&)> save);

}  // namespace platform
