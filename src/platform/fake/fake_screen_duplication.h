#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "platform/screen_duplication.h"

namespace platform::fake {

// Scriptable desktop for the duplication fake. The desktop image is in
// desktop coordinates (origin 0, 0); a duplication of an output shows the
// part under the output's rectangle. Acquire, open, release and shape results
// are taken from queues; with an empty acquire queue every acquire times out
// (or, with SetChangingScreen, delivers a frame).
class FakeScreen {
 public:
  struct Acquire {
    Result result = Result::Ok;
    DuplicationFrameInfo info;
  };

  static FakeScreen& Instance();

  // Fills the desktop with pixel(x, y) = 0xFF000000 | (y << 12) ^ x.
  void Reset();
  void SetDesktop(int width, int height, std::vector<uint32_t> pixels);
  uint32_t DesktopPixel(int x, int y);
  void QueueOpen(Result result);
  // A non-zero pointerShapeBufferSize stands for "the shape changed" and is
  // replaced by the current shape's size.
  void QueueAcquire(Acquire step);
  void QueueRelease(Result result);
  void QueueShapeResult(Result result);
  void SetChangingScreen(bool changing);
  void SetPointerShape(const PointerShapeInfo& info, std::vector<uint8_t> shape);

  int Opens();
  int Acquires();
  int LiveDuplications();

  // Used by the fake duplication.
  Result NextOpen();
  bool NextAcquire(Acquire* step);
  Result NextRelease();
  Result Shape(uint8_t* buffer, uint32_t size, uint32_t* required, PointerShapeInfo* info);
  void CopyOutput(const Rect& rect, std::vector<uint32_t>* image);
  void Closed();

 private:
  FakeScreen() { Reset(); }
  std::mutex m_mutex;
  int m_width = 0;
  int m_height = 0;
  std::vector<uint32_t> m_desktop;
  std::deque<Result> m_opens;
  std::deque<Acquire> m_acquires;
  std::deque<Result> m_releases;
  std::deque<Result> m_shapeResults;
  bool m_changing = false;
  PointerShapeInfo m_shapeInfo;
  std::vector<uint8_t> m_shape;
  int m_openCount = 0;
  int m_acquireCount = 0;
  int m_live = 0;
};

Result FakeDuplicateOutput(const MonitorInfo& output, std::unique_ptr<ScreenDuplication>* out);

}  // namespace platform::fake
