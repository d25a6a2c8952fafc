#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/screen_copy.h"

namespace platform::fake {

// Scriptable desktop for the screen-copy fake: a 1920x1080 desktop whose
// pixel(x, y) is 0xFF000000 | ((x * 3) & 0xFF) << 16 | (y & 0xFF) << 8 | ((x ^ y) & 0xFF)
// unless set otherwise; a pointer; window pictures; queued results.
class FakeScreenCopyScript {
 public:
  static FakeScreenCopyScript& Instance();
  static uint32_t PatternPixel(int x, int y);

  void Reset();
  void SetDesktop(int width, int height, std::vector<uint32_t> pixels);
  void SetCursor(const CursorImage& cursor);
  // A window picture; windows without one fail to copy.
  void SetWindowImage(WindowId window, int width, int height, uint32_t colour);
  void QueueOpen(Result result);
  void QueueCopy(Result result);  // results of the next CopyRect calls
  int Copies();
  int Opens();

  // Used by the fake copier.
  Result NextOpen();
  Result Copy(const Rect& rect, uint8_t* bgra);
  Result Cursor(CursorImage* cursor);
  Result Window(WindowId window, std::vector<uint8_t>* bgra, int* width, int* height);

 private:
  FakeScreenCopyScript() { Reset(); }
  struct Picture {
    int width = 0;
    int height = 0;
    uint32_t colour = 0;
  };
  std::mutex m_mutex;
  int m_width = 0;
  int m_height = 0;
  std::vector<uint32_t> m_desktop;
  CursorImage m_cursor;
  std::map<WindowId, Picture> m_windows;
  std::deque<Result> m_opens;
  std::deque<Result> m_copies;
  int m_copyCount = 0;
  int m_openCount = 0;
};

Result FakeOpenScreenCopy(std::unique_ptr<ScreenCopy>* out);

}  // namespace platform::fake
