#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QPainter>
#include <QWidget>

#include <chrono>
#include <memory>
#include <vector>

#include "recorder/videocapture/capturertestsupport.h"
#include "recorder/videocapture/dxgicapturer.h"
#include "platform/monitors.h"
#include "platform/screen_duplication.h"
#include "support/testsupport.h"

namespace {

uint32_t Pattern(int x, int y, int phase) {
  return 0xFF000000u | (uint32_t((x * 7 + phase) & 0xFF) << 16) | (uint32_t(y * 3 & 0xFF) << 8) |
         uint32_t((x ^ y) & 0xFF);
}

// A frameless window at a fixed place painting a known pattern.
class PatternWindow : public QWidget {
 public:
  PatternWindow()
      : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                             Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_OpaquePaintEvent);
  }
  void SetPhase(int phase) {
    m_phase = phase;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QImage image(width(), height(), QImage::Format_RGB32);
    for (int y = 0; y < height(); ++y)
      for (int x = 0; x < width(); ++x) image.setPixel(x, y, Pattern(x, y, m_phase));
    QPainter(this).drawImage(0, 0, image);
  }

 private:
  int m_phase = 0;
};

bool Matches(const FrameSink::Copy& f, int phase) {
  for (int y = 0; y < f.height; y += 7)
    for (int x = 0; x < f.width; x += 5)
      if ((f.At(x, y) & 0xFFFFFF) != (Pattern(x, y, phase) & 0xFFFFFF)) return false;
  return true;
}

}  // namespace

TEST(DXGICapturerX11, RegionOfAPaintedWindowIsPixelExact) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  int argc = 1;
  char name[] = "dxgicapturer_x11_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  PatternWindow window;
  window.setGeometry(200, 150, 320, 240);
  window.show();

  FrameSink sink;
  DXGICapturer capturer;
  CaptureParams params;
  params.mode = 1;
  params.region = {200, 150, 520, 390};
  params.drawCursor = true;
  ASSERT_TRUE(capturer.Init(params));
  EXPECT_EQ(capturer.GetPixelFormat(), AV_PIX_FMT_BGRA);
  capturer.SetCallbacks([&sink](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(capturer.Start(), 0);
  // Park the pointer far from the region so that it is not drawn into it.
  QCursor::setPos(1800, 1000);

  ASSERT_TRUE(sink.WaitFor(
      [](const auto& frames) { return !frames.empty() && Matches(frames.back(), 0); }, true));
  const size_t before = sink.Count();
  // New content: damage brings a new frame with the new pattern.
  window.SetPhase(40);
  ASSERT_TRUE(sink.WaitFor(
      [](const auto& frames) { return !frames.empty() && Matches(frames.back(), 40); }, true));
  // The pointer moved into the region is drawn from its XFixes image.
  QCursor::setPos(300, 250);
  ASSERT_TRUE(sink.WaitFor(
      [](const auto& frames) {
        const auto& f = frames.back();
        for (int y = 100; y < 110; ++y)
          for (int x = 100; x < 110; ++x)
            if ((f.At(x, y) & 0xFFFFFF) != (Pattern(x, y, 40) & 0xFFFFFF)) return true;
        return false;
      },
      true));
  QCursor::setPos(1800, 1000);
  window.SetPhase(80);
  ASSERT_TRUE(sink.WaitFor(
      [](const auto& frames) { return !frames.empty() && Matches(frames.back(), 80); }, true));
  capturer.Stop();

  const auto& frames = sink.frames;
  ASSERT_GT(frames.size(), before);
  // Dated by the refreshes they are presented at: one grid, however long the
  // screen was still in between.
  for (size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GT(frames[i].pts, frames[i - 1].pts);
    const int64_t since = frames[i].pts - frames[0].pts;
    EXPECT_LE(std::llabs(since - std::llround(since * 60 / 1e6) * 1000000 / 60), 1) << i;
  }
  const auto last = frames.back();
  EXPECT_EQ(last.width, 320);
  EXPECT_EQ(last.height, 240);
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x)
      ASSERT_EQ(last.At(x, y) & 0xFFFFFF, Pattern(x, y, 80) & 0xFFFFFF) << x << "," << y;
}

TEST(DXGICapturerX11, WholeMonitorAndSnapshot) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  DXGICapturer capturer;
  EXPECT_TRUE(capturer.IsSupported(0));
  uint8_t* data = nullptr;
  int width = 0, height = 0;
  ASSERT_TRUE(capturer.Snapshot(0, &data, &width, &height));
  delete[] data;
  EXPECT_EQ(width, 1920);
  EXPECT_EQ(height, 1080);
}

// A screen that changes all the time is handed out once per refresh, as a
// display presents it, not as fast as it can be copied.
TEST(DXGICapturerX11, ConstantChangesComeOncePerRefresh) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  int argc = 1;
  char name[] = "dxgicapturer_x11_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  PatternWindow window;
  window.setGeometry(0, 0, 64, 64);
  window.show();
  QApplication::processEvents();
  const auto monitors = platform::GetMonitors().List();
  ASSERT_FALSE(monitors.empty());
  std::unique_ptr<platform::ScreenDuplication> duplication;
  ASSERT_EQ(platform::DuplicateOutput(monitors.front(), &duplication), platform::Result::Ok);

  using Clock = std::chrono::steady_clock;
  std::vector<Clock::time_point> times;
  const auto end = Clock::now() + std::chrono::seconds(5);
  for (int phase = 0; times.size() < 12 && Clock::now() < end; ++phase) {
    window.SetPhase(phase);
    window.repaint();
    QApplication::sync();
    platform::DuplicationFrameInfo info;
    if (duplication->AcquireNextFrame(0, &info) != platform::Result::Ok) continue;
    times.push_back(Clock::now());
    duplication->ReleaseFrame();
  }
  ASSERT_GE(times.size(), 12u);
  // Frames keep to the refresh grid: a late one may be followed closely by
  // the next slot's, never by more.
  EXPECT_GE(times.back() - times[1], (times.size() - 3) * std::chrono::microseconds(16667));
}
