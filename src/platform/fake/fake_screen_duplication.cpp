#include "platform/fake/fake_screen_duplication.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace platform::fake {
namespace {

class FakeDuplication : public ScreenDuplication {
 public:
  explicit FakeDuplication(const Rect& rect) : m_rect(rect) {}
  ~FakeDuplication() override { FakeScreen::Instance().Closed(); }

  int Width() const override { return m_rect.Width(); }
  int Height() const override { return m_rect.Height(); }

  Result AcquireNextFrame(int timeoutMs, DuplicationFrameInfo* info) override {
    FakeScreen::Acquire step;
    if (!FakeScreen::Instance().NextAcquire(&step)) {
      // Nothing scripted: a still screen. Sleep a little so that loops
      // around a timeout do not spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 2)));
      return Result::Timeout;
    }
    if (step.result != Result::Ok) return step.result;
    *info = step.info;
    FakeScreen::Instance().CopyOutput(m_rect, &m_image);
    m_held = true;
    return Result::Ok;
  }

  uint8_t* FrameData(int* pitch) override {
    if (!m_held) return nullptr;
    *pitch = m_rect.Width() * 4;
    return reinterpret_cast<uint8_t*>(m_image.data());
  }

  Result GetFramePointerShape(uint8_t* buffer, uint32_t size, uint32_t* required,
                              PointerShapeInfo* info) override {
    return FakeScreen::Instance().Shape(buffer, size, required, info);
  }

  Result ReleaseFrame() override {
    m_held = false;
    return FakeScreen::Instance().NextRelease();
  }

 private:
  Rect m_rect;
  std::vector<uint32_t> m_image;
  bool m_held = false;
};

}  // namespace

FakeScreen& FakeScreen::Instance() {
  static FakeScreen instance;
  return instance;
}

void FakeScreen::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_width = 1920;
  m_height = 1080;
  m_desktop.assign(size_t(m_width) * m_height, 0);
  for (int y = 0; y < m_height; ++y)
    for (int x = 0; x < m_width; ++x)
      m_desktop[size_t(y) * m_width + x] = 0xFF000000u | ((uint32_t(y) << 12) ^ uint32_t(x));
  m_opens.clear();
  m_acquires.clear();
  m_releases.clear();
  m_shapeResults.clear();
  m_changing = false;
  m_shapeInfo = PointerShapeInfo{};
  m_shape.clear();
  m_openCount = 0;
  m_acquireCount = 0;
}

void FakeScreen::SetDesktop(int width, int height, std::vector<uint32_t> pixels) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_width = width;
  m_height = height;
  m_desktop = std::move(pixels);
}

uint32_t FakeScreen::DesktopPixel(int x, int y) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_desktop[size_t(y) * m_width + x];
}

void FakeScreen::QueueOpen(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_opens.push_back(result);
}

void FakeScreen::QueueAcquire(Acquire step) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_acquires.push_back(step);
}

void FakeScreen::QueueRelease(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_releases.push_back(result);
}

void FakeScreen::QueueShapeResult(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_shapeResults.push_back(result);
}

void FakeScreen::SetChangingScreen(bool changing) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_changing = changing;
}

void FakeScreen::SetPointerShape(const PointerShapeInfo& info, std::vector<uint8_t> shape) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_shapeInfo = info;
  m_shape = std::move(shape);
}

int FakeScreen::Opens() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_openCount;
}

int FakeScreen::Acquires() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_acquireCount;
}

int FakeScreen::LiveDuplications() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_live;
}

Result FakeScreen::NextOpen() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_openCount;
  Result r = Result::Ok;
  if (!m_opens.empty()) {
    r = m_opens.front();
    m_opens.pop_front();
  }
  if (r == Result::Ok) ++m_live;
  return r;
}

bool FakeScreen::NextAcquire(Acquire* step) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_acquireCount;
  if (m_acquires.empty()) {
    if (!m_changing) return false;
    *step = Acquire{};
    return true;
  }
  *step = m_acquires.front();
  m_acquires.pop_front();
  // A scripted shape change reports the size of the current shape.
  if (step->info.pointerShapeBufferSize != 0)
    step->info.pointerShapeBufferSize = static_cast<uint32_t>(m_shape.size());
  return true;
}

Result FakeScreen::NextRelease() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_releases.empty()) return Result::Ok;
  const Result r = m_releases.front();
  m_releases.pop_front();
  return r;
}

Result FakeScreen::Shape(uint8_t* buffer, uint32_t size, uint32_t* required,
                         PointerShapeInfo* info) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_shapeResults.empty()) {
    const Result r = m_shapeResults.front();
    m_shapeResults.pop_front();
    if (r != Result::Ok) return r;
  }
  *required = static_cast<uint32_t>(m_shape.size());
  if (m_shape.empty() || size < m_shape.size()) return Result::Failed;
  std::memcpy(buffer, m_shape.data(), m_shape.size());
  *info = m_shapeInfo;
  return Result::Ok;
}

void FakeScreen::CopyOutput(const Rect& rect, std::vector<uint32_t>* image) {
  std::lock_guard<std::mutex> lock(m_mutex);
  image->assign(size_t(rect.Width()) * rect.Height(), 0);
  for (int y = 0; y < rect.Height(); ++y) {
    const int sy = rect.top + y;
    if (sy < 0 || sy >= m_height) continue;
    for (int x = 0; x < rect.Width(); ++x) {
      const int sx = rect.left + x;
      if (sx < 0 || sx >= m_width) continue;
      (*image)[size_t(y) * rect.Width() + x] = m_desktop[size_t(sy) * m_width + sx];
    }
  }
}

void FakeScreen::Closed() {
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_live;
}

Result FakeDuplicateOutput(const MonitorInfo& output, std::unique_ptr<ScreenDuplication>* out) {
  FakeScreen& screen = FakeScreen::Instance();
  const Result r = screen.NextOpen();
  if (r != Result::Ok) return r;
  *out = std::make_unique<FakeDuplication>(output.rect);
  return Result::Ok;
}

}  // namespace platform::fake
