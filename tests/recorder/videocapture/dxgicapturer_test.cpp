#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/fake/fake_input.h"
#include "platform/fake/fake_monitors.h"
#include "platform/fake/fake_screen_duplication.h"
#include "recorder/videocapture/capturertestsupport.h"
#include "recorder/mousepreprocesser.h"
#include "recorder/videocapture/dxgicapturer.h"

using platform::DuplicationFrameInfo;
using platform::PointerShapeInfo;
using platform::PointerShapeType;
using platform::Result;
using platform::fake::FakeScreen;

namespace {

class CountingPreProcesser : public PreProcesser {
 public:
  void Process(uint8_t*, int, int, MouseContext* context) override {
    ++calls;
    lastX = context->x;
    lastY = context->y;
    diameter = context->haloDiameter;
  }
  std::atomic<int> calls{0};
  std::atomic<int> lastX{0}, lastY{0}, diameter{0};
};

FakeScreen::Acquire Frame(int pointerX = 0, int pointerY = 0, bool withShape = false,
                          bool pointerUpdate = false, bool visible = true) {
  FakeScreen::Acquire step;
  if (pointerUpdate || withShape) {
    step.info.lastPointerUpdate = 1;
    step.info.pointerX = pointerX;
    step.info.pointerY = pointerY;
    step.info.pointerVisible = visible;
  }
  if (withShape) step.info.pointerShapeBufferSize = 1;
  return step;
}

void SetColorShape() {
  // 4 x 4: green, with a transparent (zero) first column.
  std::vector<uint8_t> shape(4 * 4 * 4, 0);
  for (int i = 0; i < 4; ++i)
    for (int j = 1; j < 4; ++j) {
      const uint32_t green = 0xFF00FF00u;
      std::memcpy(&shape[(i * 4 + j) * 4], &green, 4);
    }
  FakeScreen::Instance().SetPointerShape(
      PointerShapeInfo{PointerShapeType::Color, 4, 4, 16, 0, 0}, shape);
}

class DXGICapturerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Backend::Use(platform::BackendKind::Fake);
    platform::fake::FakeMonitors::Instance().Reset();
    FakeScreen::Instance().Reset();
    platform::fake::FakeInput::Instance().Reset();
  }
  void TearDown() override {
    capturer.reset();
    EXPECT_EQ(FakeScreen::Instance().LiveDuplications(), 0);
  }

  void StartCapture(const CaptureParams& params) {
    capturer = std::make_unique<DXGICapturer>();
    ASSERT_TRUE(capturer->Init(params));
    capturer->SetCallbacks([this](AVFrame* f) { sink(f); },
                           [this](RecordError e) {
                             ++errors;
                             lastError = e;
                           });
    ASSERT_EQ(capturer->Start(), 0);
  }

  bool WaitFrames(size_t n) {
    return sink.WaitFor([n](const auto& frames) { return frames.size() >= n; });
  }

  static uint32_t Desktop(int x, int y) { return FakeScreen::Instance().DesktopPixel(x, y); }

  std::unique_ptr<DXGICapturer> capturer;
  FrameSink sink;
  std::atomic<int> errors{0};
  std::atomic<int> lastError{0};
};

}  // namespace

TEST_F(DXGICapturerTest, MonitorFramesCarryTheScreenAndAColourPointer) {
  SetColorShape();
  FakeScreen::Instance().QueueAcquire(Frame(100, 200, true));
  FakeScreen::Instance().QueueAcquire(Frame());
  CaptureParams params;
  params.drawCursor = true;
  StartCapture(params);
  ASSERT_TRUE(WaitFrames(2));
  capturer->Stop();

  const auto& f = sink.frames[0];
  EXPECT_EQ(f.width, 1920);
  EXPECT_EQ(f.height, 1080);
  EXPECT_EQ(f.format, AV_PIX_FMT_BGRA);
  EXPECT_EQ(f.linesize, 1920 * 4);
  EXPECT_EQ(f.At(5, 7), Desktop(5, 7));
  EXPECT_EQ(f.At(1919, 1079), Desktop(1919, 1079));
  // The zero column leaves the screen; the others are the shape's.
  EXPECT_EQ(f.At(100, 200), Desktop(100, 200));
  EXPECT_EQ(f.At(101, 200), 0xFF00FF00u);
  EXPECT_EQ(f.At(103, 203), 0xFF00FF00u);
  EXPECT_EQ(f.At(104, 203), Desktop(104, 203));
  // The second frame has no pointer update: the known shape is drawn again.
  EXPECT_EQ(sink.frames[1].At(102, 201), 0xFF00FF00u);
  EXPECT_GT(sink.frames[1].pts, sink.frames[0].pts);
  EXPECT_EQ(capturer->GetCaptureRect(), (platform::Rect{0, 0, 1920, 1080}));
}

TEST_F(DXGICapturerTest, StillScreenDeliversNothing) {
  StartCapture(CaptureParams{});
  // Let the loop run through many timeouts.
  while (FakeScreen::Instance().Acquires() < 20) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  capturer->Stop();
  EXPECT_EQ(sink.Count(), 0u);
}

TEST_F(DXGICapturerTest, MonochromePointerCutAtTheBottomUsesTheXorHalf) {
  // 8 x 4 visible rows; columns 0-1 AND 1 XOR 0 (unchanged), 2-3 AND 0 XOR 0
  // (black), 4-5 AND 0 XOR 1 (white), 6-7 AND 1 XOR 1 (inverted).
  std::vector<uint8_t> mask(8, 0);
  for (int i = 0; i < 4; ++i) mask[i] = 0xC3;      // AND rows: 11000011
  for (int i = 4; i < 8; ++i) mask[i] = 0x0F;      // XOR rows: 00001111
  FakeScreen::Instance().SetPointerShape(
      PointerShapeInfo{PointerShapeType::Monochrome, 8, 8, 1, 0, 0}, mask);
  // Two rows fit above the bottom edge.
  FakeScreen::Instance().QueueAcquire(Frame(10, 1078, true));
  CaptureParams params;
  params.drawCursor = true;
  StartCapture(params);
  ASSERT_TRUE(WaitFrames(1));
  capturer->Stop();
  const auto& f = sink.frames[0];
  for (int y = 1078; y < 1080; ++y) {
    EXPECT_EQ(f.At(10, y), Desktop(10, y));
    EXPECT_EQ(f.At(12, y), Desktop(12, y) & 0xFF000000u);
    EXPECT_EQ(f.At(14, y), (Desktop(14, y) & 0xFF000000u) | 0x00FFFFFFu);
    EXPECT_EQ(f.At(17, y), Desktop(17, y) ^ 0x00FFFFFFu);
  }
  EXPECT_EQ(f.At(18, 1079), Desktop(18, 1079));
}

TEST_F(DXGICapturerTest, MaskedColourPointerXorsWhereAlphaIsSet) {
  const std::vector<uint32_t> pixels = {0xFF0000FFu, 0x00123456u};
  std::vector<uint8_t> shape(8);
  std::memcpy(shape.data(), pixels.data(), 8);
  FakeScreen::Instance().SetPointerShape(
      PointerShapeInfo{PointerShapeType::MaskedColor, 2, 1, 8, 0, 0}, shape);
  FakeScreen::Instance().QueueAcquire(Frame(300, 40, true));
  CaptureParams params;
  params.drawCursor = true;
  StartCapture(params);
  ASSERT_TRUE(WaitFrames(1));
  capturer->Stop();
  const auto& f = sink.frames[0];
  EXPECT_EQ(f.At(300, 40), (Desktop(300, 40) ^ 0xFF0000FFu) | 0xFF000000u);
  EXPECT_EQ(f.At(301, 40), 0xFF123456u);
}

TEST_F(DXGICapturerTest, RegionIsCroppedAgainstTheOutputAndThePointerFollows) {
  platform::fake::FakeMonitors::Instance().SetMonitors(
      {{1, {0, 0, 1000, 1080}, "left", true}, {2, {1000, 0, 1920, 1080}, "right", false}});
  SetColorShape();
  auto pre = std::make_shared<CountingPreProcesser>();
  // Pointer 1020,110 in desktop terms (20,110 on the right output).
  FakeScreen::Instance().QueueAcquire(Frame(20, 110, true));
  CaptureParams params;
  params.mode = RecordMode::Region;
  params.monitor = 2;
  params.drawCursor = true;
  params.preProcess = true;
  params.haloDiameter = 25;
  params.region = {1010, 100, 1210, 200};
  capturer = std::make_unique<DXGICapturer>();
  ASSERT_TRUE(capturer->Init(params));
  capturer->AddPreProcesser(pre);
  capturer->SetCallbacks([this](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(capturer->Start(), 0);
  ASSERT_TRUE(WaitFrames(1));
  capturer->Stop();
  const auto& f = sink.frames[0];
  ASSERT_EQ(f.width, 200);
  ASSERT_EQ(f.height, 100);
  EXPECT_EQ(f.At(0, 0), Desktop(1010, 100));
  EXPECT_EQ(f.At(199, 99), Desktop(1209, 199));
  EXPECT_EQ(f.At(11, 10), 0xFF00FF00u);
  EXPECT_EQ(pre->calls, 1);
  EXPECT_EQ(pre->lastX, 10);
  EXPECT_EQ(pre->lastY, 10);
  EXPECT_EQ(pre->diameter, 25);
}

TEST_F(DXGICapturerTest, RegionReachingPastTheOutputIsBlackThere) {
  FakeScreen::Instance().QueueAcquire(Frame());
  CaptureParams params;
  params.mode = RecordMode::Region;
  params.region = {1900, 1070, 1940, 1090};
  StartCapture(params);
  ASSERT_TRUE(WaitFrames(1));
  capturer->Stop();
  const auto& f = sink.frames[0];
  ASSERT_EQ(f.width, 40);
  EXPECT_EQ(f.At(19, 9), Desktop(1919, 1079));
  EXPECT_EQ(f.At(20, 9), 0u);
  EXPECT_EQ(f.At(5, 10), 0u);
}

TEST_F(DXGICapturerTest, PointerOutsideTheRegionDrawsNeitherPointerNorHalo) {
  SetColorShape();
  auto pre = std::make_shared<CountingPreProcesser>();
  FakeScreen::Instance().QueueAcquire(Frame(500, 500, true));
  FakeScreen::Instance().QueueAcquire(Frame(50, 50, false, true, false));
  CaptureParams params;
  params.mode = RecordMode::Region;
  params.region = {0, 0, 100, 100};
  params.drawCursor = true;
  params.preProcess = true;
  capturer = std::make_unique<DXGICapturer>();
  ASSERT_TRUE(capturer->Init(params));
  capturer->AddPreProcesser(pre);
  capturer->SetCallbacks([this](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(capturer->Start(), 0);
  ASSERT_TRUE(WaitFrames(2));
  capturer->Stop();
  EXPECT_EQ(pre->calls, 0);
  // Second frame: inside but reported invisible.
  EXPECT_EQ(sink.frames[1].At(52, 52), Desktop(52, 52));
}

// The loss comes with a layout change: the left monitor is gone, so the
// recorded one now has the first id; it is found again by its name.
TEST_F(DXGICapturerTest, AccessLostOnReleaseReopensAndFetchesAFreshShape) {
  auto& monitors = platform::fake::FakeMonitors::Instance();
  monitors.SetMonitors({{1, {0, 0, 960, 1080}, "left", true}, {2, {960, 0, 1920, 1080}, "right", false}});
  SetColorShape();
  auto& screen = FakeScreen::Instance();
  screen.QueueAcquire(Frame(10, 10, true));
  screen.QueueRelease(Result::AccessLost);
  // After re-opening: a position update without a shape, then a new shape.
  screen.QueueAcquire(Frame(10, 10, false, true));
  screen.QueueAcquire(Frame(30, 30, true));
  CaptureParams params;
  params.monitor = 2;
  params.drawCursor = true;
  capturer = std::make_unique<DXGICapturer>();
  ASSERT_TRUE(capturer->Init(params));
  monitors.SetMonitors({{1, {960, 0, 1920, 1080}, "right", true}});
  capturer->SetCallbacks([this](AVFrame* f) { sink(f); }, [this](RecordError) { ++errors; });
  ASSERT_EQ(capturer->Start(), 0);
  ASSERT_TRUE(WaitFrames(2));
  capturer->Stop();
  EXPECT_EQ(screen.Opens(), 2);
  ASSERT_EQ(sink.Count(), 2u);  // the frame of the lost duplication is not delivered
  EXPECT_EQ(sink.frames[0].At(12, 12), Desktop(972, 12));  // no shape known yet
  EXPECT_EQ(sink.frames[1].At(32, 32), 0xFF00FF00u);
  EXPECT_EQ(sink.frames[1].At(100, 100), Desktop(1060, 100));
  EXPECT_EQ(errors, 0);
}

TEST_F(DXGICapturerTest, FailedReopensReportOnceAndKeepRetrying) {
  auto& screen = FakeScreen::Instance();
  capturer = std::make_unique<DXGICapturer>();
  ASSERT_TRUE(capturer->Init(CaptureParams{}));
  screen.QueueAcquire(FakeScreen::Acquire{Result::AccessLost, {}});
  for (int i = 0; i < 4; ++i) screen.QueueOpen(Result::Failed);
  screen.QueueAcquire(Frame());
  capturer->SetCallbacks([this](AVFrame* f) { sink(f); }, [this](RecordError e) {
    ++errors;
    lastError = e;
  });
  ASSERT_EQ(capturer->Start(), 0);
  ASSERT_TRUE(WaitFrames(1));
  capturer->Stop();
  EXPECT_EQ(screen.Opens(), 6);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(lastError, kRecordFailed);
}

TEST_F(DXGICapturerTest, SnapshotTakesTheSecondFrameOfAFreshDuplication) {
  auto& screen = FakeScreen::Instance();
  screen.QueueAcquire(Frame());
  screen.QueueAcquire(Frame());
  DXGICapturer capturer;
  uint8_t* data = nullptr;
  int width = 0, height = 0;
  ASSERT_TRUE(capturer.Snapshot(0, &data, &width, &height));
  std::unique_ptr<uint8_t[]> image(data);
  EXPECT_EQ(width, 1920);
  EXPECT_EQ(height, 1080);
  EXPECT_EQ(screen.Acquires(), 2);
  uint32_t pixel;
  std::memcpy(&pixel, data + (size_t(500) * 1920 + 700) * 4, 4);
  EXPECT_EQ(pixel, Desktop(700, 500));
}

TEST_F(DXGICapturerTest, FactoryAndFailedInit) {
  EXPECT_EQ(CreateCapturer(3), nullptr);
  std::unique_ptr<WindowCapturerInterface> dxgi(CreateCapturer(0));
  ASSERT_NE(dxgi, nullptr);
  FakeScreen::Instance().QueueOpen(Result::Failed);
  CaptureParams params;
  EXPECT_FALSE(dxgi->Init(params));
  EXPECT_EQ(dxgi->GetPixelFormat(), -1);
  EXPECT_EQ(dxgi->Start(), -1);
  // A monitor that does not exist is refused by the duplication source.
  std::unique_ptr<WindowCapturerInterface> chosen(CreateMonitorCapturer(1));
  ASSERT_NE(chosen, nullptr);
  EXPECT_NE(dynamic_cast<DXGICapturer*>(chosen.get()), nullptr);
  std::unique_ptr<DXGICapturer> none(new DXGICapturer());
  EXPECT_FALSE(none->IsSupported(42));
}

TEST_F(DXGICapturerTest, HaloRingLiesUnderThePointer) {
  // A 30 x 1 colour pointer line through the ring's left and right edges.
  std::vector<uint8_t> shape(30 * 4);
  for (int j = 0; j < 30; ++j) {
    const uint32_t blue = 0xFF0000FFu;
    std::memcpy(&shape[j * 4], &blue, 4);
  }
  FakeScreen::Instance().SetPointerShape(
      PointerShapeInfo{PointerShapeType::Color, 30, 1, 120, 0, 0}, shape);
  FakeScreen::Instance().QueueAcquire(Frame(400, 300, true));
  CaptureParams params;
  params.drawCursor = true;
  params.preProcess = true;
  params.red = 255;
  params.haloDiameter = 40;
  capturer = std::make_unique<DXGICapturer>();
  ASSERT_TRUE(capturer->Init(params));
  capturer->AddPreProcesser(std::make_shared<MousePreProcesser>());
  capturer->SetCallbacks([this](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(capturer->Start(), 0);
  ASSERT_TRUE(WaitFrames(1));
  capturer->Stop();
  const auto& f = sink.frames[0];
  // Ring centre on the hot spot (400, 300), diameter 40: red where the
  // pointer is not.
  EXPECT_EQ(f.At(400, 280) & 0xFFFFFF, 0xFF0000u);
  EXPECT_EQ(f.At(400, 320) & 0xFFFFFF, 0xFF0000u);
  // On the pointer's row the pointer covers the ring.
  EXPECT_EQ(f.At(423, 300), 0xFF0000FFu);
}
