#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/fake/fake_monitors.h"
#include "platform/fake/fake_screen_copy.h"
#include "recorder/videocapture/capturertestsupport.h"
#include "recorder/videocapture/gdicapturer.h"
#include "support/logcapture.h"

using platform::Result;
using platform::fake::FakeScreenCopyScript;

namespace {

class RecordingPreProcesser : public PreProcesser {
 public:
  void Process(uint8_t* bgra, int width, int, MouseContext* context) override {
    // Reads the frame's pixel under the pointer: the pointer is drawn first.
    if (context->x < width)
      underPointer = reinterpret_cast<uint32_t*>(bgra)[size_t(context->y) * width + context->x];
    x = context->x;
    y = context->y;
    diameter = context->haloDiameter;
    ++calls;
  }
  std::atomic<int> calls{0};
  std::atomic<int> x{0}, y{0}, diameter{0};
  std::atomic<uint32_t> underPointer{0};
};

class GdiCapturerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Backend::Use(platform::BackendKind::Fake);
    FakeScreenCopyScript::Instance().Reset();
    platform::fake::FakeMonitors::Instance().Reset();
    platform::fake::FakeMonitors::Instance().SetMonitors(
        {{1, {0, 0, 1920, 1080}, "left", true}, {2, {1920, 0, 3200, 720}, "right", false}});
    // The desktop spans both monitors.
    std::vector<uint32_t> desktop(size_t(3200) * 1080);
    for (int y = 0; y < 1080; ++y)
      for (int x = 0; x < 3200; ++x)
        desktop[size_t(y) * 3200 + x] = FakeScreenCopyScript::PatternPixel(x, y);
    FakeScreenCopyScript::Instance().SetDesktop(3200, 1080, std::move(desktop));
  }

  static CaptureParams Region(platform::Rect r) {
    CaptureParams p;
    p.mode = RecordMode::Region;
    p.region = r;
    p.frameRate = 100;
    return p;
  }

  // A 3x3 opaque red pointer with its hot spot in the middle.
  static platform::CursorImage RedPointer(int x, int y) {
    platform::CursorImage c;
    c.showing = true;
    c.x = x;
    c.y = y;
    c.hotX = c.hotY = 1;
    c.width = c.height = 3;
    c.pixels.assign(9, 0xFFFF0000u);
    return c;
  }
};

bool SamePattern(const FrameSink::Copy& f, platform::Rect r) {
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x)
      if (f.At(x, y) != FakeScreenCopyScript::PatternPixel(r.left + x, r.top + y)) return false;
  return true;
}

}  // namespace

TEST_F(GdiCapturerTest, RegionFramesCarryTheScreenAsKeyFrames) {
  GdiCapturer capturer;
  const platform::Rect r{100, 50, 260, 170};
  ASSERT_TRUE(capturer.Init(Region(r)));
  EXPECT_EQ(capturer.GetPixelFormat(), AV_PIX_FMT_BGRA);
  EXPECT_EQ(capturer.GetCaptureRect(), r);
  EXPECT_FALSE(capturer.Init(Region(r))) << "a second Init is refused";

  FrameSink sink;
  std::atomic<int> pictType{-1};
  capturer.SetCallbacks(
      [&](AVFrame* f) {
        pictType = f->pict_type;
        sink(f);
      },
      nullptr);
  ASSERT_EQ(capturer.Start(), 0);
  EXPECT_EQ(capturer.Start(), 0) << "already running";
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return f.size() >= 3; }));
  capturer.Stop();
  EXPECT_EQ(pictType, AV_PICTURE_TYPE_I);
  for (const auto& f : sink.frames) {
    EXPECT_EQ(f.width, 160);
    EXPECT_EQ(f.height, 120);
    EXPECT_EQ(f.linesize, 160 * 4);
    EXPECT_TRUE(SamePattern(f, r));
  }
}

TEST_F(GdiCapturerTest, MonitorRightOfThePrimaryIsReadFromItsDesktopRectangle) {
  GdiCapturer capturer;
  CaptureParams p;
  p.monitor = 2;
  p.frameRate = 50;
  ASSERT_TRUE(capturer.Init(p));
  EXPECT_EQ(capturer.GetCaptureRect(), (platform::Rect{1920, 0, 3200, 720}));
  FrameSink sink;
  capturer.SetCallbacks([&](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return !f.empty(); }));
  capturer.Stop();
  EXPECT_TRUE(SamePattern(sink.frames.front(), {1920, 0, 3200, 720}));

  uint8_t* data = nullptr;
  int width = 0, height = 0;
  ASSERT_TRUE(capturer.Snapshot(2, &data, &width, &height));
  std::unique_ptr<uint8_t[]> image(data);
  EXPECT_EQ(width, 1280);
  EXPECT_EQ(height, 720);
  EXPECT_EQ(reinterpret_cast<uint32_t*>(data)[5 * 1280 + 7],
            FakeScreenCopyScript::PatternPixel(1920 + 7, 5));
}

TEST_F(GdiCapturerTest, InitAndSnapshotRefuseWhatCannotBeCaptured) {
  testsupport::LogCapture log;
  GdiCapturer capturer;
  EXPECT_TRUE(capturer.IsSupported(0));
  CaptureParams p;
  p.monitor = 7;
  p.frameRate = 25;
  EXPECT_FALSE(capturer.Init(p));
  EXPECT_TRUE(log.Contains("get monitor info failed:"));
  EXPECT_EQ(capturer.GetPixelFormat(), -1);
  EXPECT_EQ(capturer.Start(), -1);
  EXPECT_FALSE(capturer.Init(Region({10, 10, 10, 50}))) << "empty region";
  CaptureParams noRate = Region({0, 0, 10, 10});
  noRate.frameRate = 0;
  EXPECT_FALSE(capturer.Init(noRate));

  uint8_t* data = nullptr;
  int w = 0, h = 0;
  EXPECT_FALSE(capturer.Snapshot(0, &data, &w, &h));
  EXPECT_TRUE(log.Contains("the monitor is nullptr"));
  EXPECT_FALSE(capturer.Snapshot(9, &data, &w, &h));
  FakeScreenCopyScript::Instance().QueueOpen(Result::Failed);
  EXPECT_FALSE(capturer.Snapshot(1, &data, &w, &h));
  FakeScreenCopyScript::Instance().QueueCopy(Result::Failed);
  EXPECT_FALSE(capturer.Snapshot(1, &data, &w, &h));
  EXPECT_EQ(data, nullptr);
}

TEST_F(GdiCapturerTest, FailedCopyRepeatsThePreviousImage) {
  GdiCapturer capturer;
  const platform::Rect r{0, 0, 64, 32};
  ASSERT_TRUE(capturer.Init(Region(r)));
  FrameSink sink;
  std::atomic<int> errors{0};
  capturer.SetCallbacks([&](AVFrame* f) { sink(f); }, [&](RecordError) { ++errors; });
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return !f.empty(); }));
  // The screen changes, but the next two copies fail.
  FakeScreenCopyScript::Instance().QueueCopy(Result::Failed);
  FakeScreenCopyScript::Instance().QueueCopy(Result::Failed);
  FakeScreenCopyScript::Instance().SetDesktop(64, 32, std::vector<uint32_t>(64 * 32, 0xFF123456u));
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return f.back().At(0, 0) == 0xFF123456u; }));
  capturer.Stop();
  EXPECT_EQ(errors, 0);
  // Frames in between repeat the old image; none is torn or empty.
  size_t repeated = 0;
  for (const auto& f : sink.frames) {
    if (f.At(0, 0) == 0xFF123456u) break;
    EXPECT_TRUE(SamePattern(f, r));
    ++repeated;
  }
  EXPECT_GE(repeated, 3u);
}

TEST_F(GdiCapturerTest, LostScreenEndsTheThreadOnceAndStartCanRunAgain) {
  GdiCapturer capturer;
  ASSERT_TRUE(capturer.Init(Region({0, 0, 32, 32})));
  FrameSink sink;
  std::atomic<int> errors{0};
  std::atomic<int> lastError{0};
  capturer.SetCallbacks([&](AVFrame* f) { sink(f); },
                        [&](RecordError e) {
                          lastError = e;
                          ++errors;
                        });
  FakeScreenCopyScript::Instance().QueueOpen(Result::Failed);
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([&](const auto&) { return errors.load() == 1; }));
  EXPECT_EQ(lastError, kRecordFailed);
  EXPECT_EQ(sink.Count(), 0u);
  // The source stays initialised: a new start delivers frames.
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return f.size() >= 2; }));
  capturer.Stop();
  EXPECT_EQ(errors, 1);

  // A copy the screen's format cannot give ends the thread as well.
  FakeScreenCopyScript::Instance().QueueCopy(Result::Unsupported);
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([&](const auto&) { return errors.load() == 2; }));
  capturer.Uninit();
  EXPECT_EQ(capturer.Start(), -1);
}

TEST_F(GdiCapturerTest, PointerIsDrawnAtItsHotSpotThenTheHaloRuns) {
  auto pre = std::make_shared<RecordingPreProcesser>();
  GdiCapturer capturer;
  CaptureParams p = Region({100, 100, 200, 180});
  p.drawCursor = true;
  p.preProcess = true;
  p.haloDiameter = 25;
  ASSERT_TRUE(capturer.Init(p));
  capturer.AddPreProcesser(pre);
  FrameSink sink;
  capturer.SetCallbacks([&](AVFrame* f) { sink(f); }, nullptr);
  FakeScreenCopyScript::Instance().SetCursor(RedPointer(150, 140));
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return !f.empty(); }));
  // On the region's right edge: still drawn, clipped to the frame.
  FakeScreenCopyScript::Instance().SetCursor(RedPointer(200, 130));
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return f.back().At(99, 30) == 0xFFFF0000u; }));
  capturer.Stop();

  const auto& first = sink.frames.front();
  for (int y = 39; y <= 41; ++y)
    for (int x = 49; x <= 51; ++x) EXPECT_EQ(first.At(x, y), 0xFFFF0000u) << x << "," << y;
  EXPECT_EQ(first.At(52, 40), FakeScreenCopyScript::PatternPixel(152, 140));
  EXPECT_EQ(first.At(48, 40), FakeScreenCopyScript::PatternPixel(148, 140));
  EXPECT_EQ(pre->x, 100);
  EXPECT_EQ(pre->y, 30);
  EXPECT_EQ(pre->diameter, 25);
  EXPECT_EQ(pre->underPointer, 0xFFFF0000u);
}

TEST_F(GdiCapturerTest, TranslucentPointerBlendsAndOutsidePointerIsLeftOut) {
  auto pre = std::make_shared<RecordingPreProcesser>();
  GdiCapturer capturer;
  CaptureParams p = Region({0, 0, 40, 40});
  p.drawCursor = true;
  p.preProcess = true;
  ASSERT_TRUE(capturer.Init(p));
  capturer.AddPreProcesser(pre);
  std::vector<uint32_t> grey(size_t(40) * 40, 0xFF808080u);
  FakeScreenCopyScript::Instance().SetDesktop(40, 40, grey);
  auto c = RedPointer(10, 10);
  c.pixels.assign(9, 0x80800000u);  // half-transparent red, premultiplied
  FakeScreenCopyScript::Instance().SetCursor(c);
  FrameSink sink;
  capturer.SetCallbacks([&](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return !f.empty(); }));
  FakeScreenCopyScript::Instance().SetCursor(RedPointer(41, 10));
  const size_t seen = sink.Count();
  ASSERT_TRUE(sink.WaitFor([&](const auto& f) { return f.size() > seen + 2; }));
  const int callsOutside = pre->calls;
  const size_t framesOutside = sink.Count();
  ASSERT_TRUE(sink.WaitFor([&](const auto& f) { return f.size() > framesOutside + 2; }));
  capturer.Stop();
  EXPECT_EQ(sink.frames.front().At(10, 10), 0xFFC04040u);
  for (int x = 0; x < 40; ++x) EXPECT_EQ(sink.Last().At(x, 10), 0xFF808080u);
  EXPECT_LE(pre->calls - callsOutside, 1) << "no halo for a pointer outside the region";
}

TEST_F(GdiCapturerTest, NoPointerMeansNoHalo) {
  auto pre = std::make_shared<RecordingPreProcesser>();
  GdiCapturer capturer;
  CaptureParams p = Region({0, 0, 40, 40});
  p.drawCursor = false;
  p.preProcess = true;
  ASSERT_TRUE(capturer.Init(p));
  capturer.AddPreProcesser(pre);
  FakeScreenCopyScript::Instance().SetCursor(RedPointer(10, 10));
  FrameSink sink;
  capturer.SetCallbacks([&](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return f.size() >= 3; }));
  capturer.Stop();
  EXPECT_EQ(pre->calls, 0);
  EXPECT_EQ(sink.Last().At(10, 10), FakeScreenCopyScript::PatternPixel(10, 10));
}
