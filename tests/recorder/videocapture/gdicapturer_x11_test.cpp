#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QPainter>
#include <QWidget>

#include "mainwindow/guitestenv.h"
#include "platform/monitors.h"
#include "recorder/videocapture/capturertestsupport.h"
#include "recorder/ffmpegmuxer.h"
#include "recorder/videocapture/gdicapturer.h"
#include "settings.h"
#include "support/mediaprobe.h"
#include "support/testsupport.h"

namespace {

uint32_t Pattern(int x, int y) {
  return 0xFF000000u | (uint32_t((x * 5) & 0xFF) << 16) | (uint32_t((y * 3) & 0xFF) << 8) |
         uint32_t((x + y) & 0xFF);
}

class PatternWindow : public QWidget {
 public:
  PatternWindow()
      : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint) {
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QImage image(width(), height(), QImage::Format_RGB32);
    for (int y = 0; y < height(); ++y)
      for (int x = 0; x < width(); ++x) image.setPixel(x, y, Pattern(x, y));
    QPainter(this).drawImage(0, 0, image);
  }
};

bool Exact(const FrameSink::Copy& f) {
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x)
      if (f.At(x, y) != Pattern(x, y)) return false;
  return true;
}

}  // namespace

TEST(GdiCapturerX11, RegionOfAPaintedWindowIsPixelExactAndCarriesThePointer) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  guitest::App();
  PatternWindow window;
  window.setGeometry(300, 200, 240, 160);
  window.show();
  QCursor::setPos(1900, 1070);

  GdiCapturer capturer;
  CaptureParams params;
  params.mode = RecordMode::Region;
  params.region = {300, 200, 540, 360};
  params.frameRate = 30;
  params.drawCursor = true;
  ASSERT_TRUE(capturer.Init(params));
  FrameSink sink;
  capturer.SetCallbacks([&sink](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return !f.empty() && Exact(f.back()); }, true));
  // The pointer over the region is drawn into the frames.
  QCursor::setPos(400, 260);
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return !f.empty() && !Exact(f.back()); }, true));
  capturer.Stop();
  const auto last = sink.Last();
  EXPECT_EQ(last.width, 240);
  EXPECT_EQ(last.height, 160);
  // Far from the pointer, the window's pixels are untouched.
  for (int y = 100; y < 160; ++y)
    for (int x = 150; x < 240; ++x) ASSERT_EQ(last.At(x, y), Pattern(x, y)) << x << "," << y;
  QCursor::setPos(1900, 1070);

  // A still image of the whole monitor holds the window at its place.
  uint8_t* data = nullptr;
  int width = 0, height = 0;
  const auto monitors = platform::GetMonitors().List();
  ASSERT_FALSE(monitors.empty());
  ASSERT_TRUE(capturer.Snapshot(monitors.front().id, &data, &width, &height));
  std::unique_ptr<uint8_t[]> image(data);
  EXPECT_EQ(width, 1920);
  EXPECT_EQ(height, 1080);
  const auto* pixels = reinterpret_cast<const uint32_t*>(data);
  EXPECT_EQ(pixels[size_t(210) * 1920 + 320], Pattern(20, 10));
}

TEST(GdiCapturerX11, RegionPartlyOffTheScreenIsBlackThere) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  guitest::App();
  PatternWindow window;
  window.setGeometry(1820, 980, 100, 100);
  window.show();
  QCursor::setPos(10, 10);
  GdiCapturer capturer;
  CaptureParams params;
  params.mode = RecordMode::Region;
  params.region = {1820, 980, 1970, 1130};
  params.frameRate = 30;
  ASSERT_TRUE(capturer.Init(params));
  FrameSink sink;
  capturer.SetCallbacks([&sink](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor(
      [](const auto& f) { return !f.empty() && f.back().At(99, 99) == Pattern(99, 99); }, true));
  capturer.Stop();
  const auto last = sink.Last();
  EXPECT_EQ(last.At(0, 0), Pattern(0, 0));
  EXPECT_EQ(last.At(120, 50) & 0xFFFFFF, 0u);
  EXPECT_EQ(last.At(50, 120) & 0xFFFFFF, 0u);
}

// A recording from this source holds its frame rate: frames come one
// interval apart, not in pairs of which the writer keeps one.
TEST(GdiCapturerX11, RecordingHoldsTheFrameRate) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  ASSERT_TRUE(Settings::Instance()->Init());
  testsupport::TempDir dir;
  GdiCapturer capturer;
  CaptureParams params;
  params.mode = RecordMode::Region;
  params.region = {0, 0, 320, 240};
  params.frameRate = 25;
  ASSERT_TRUE(capturer.Init(params));
  MuxParams mux;
  mux.fps = 25;
  mux.width = 320;
  mux.height = 240;
  mux.qp = 28;
  const std::string path = dir.path() + "/rate.mp4";
  FfmpegMuxer muxer;
  ASSERT_EQ(muxer.Init(path.c_str(), &capturer, nullptr, 0, mux), 0);
  ASSERT_EQ(muxer.Start(), 0);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  muxer.Stop();
  const testsupport::MediaProbe probe = testsupport::ProbeMedia(path);
  ASSERT_NE(probe.Video(), nullptr);
  const double span = probe.Video()->lastPts - probe.Video()->firstPts;
  ASSERT_GT(span, 2.0);
  EXPECT_GT((probe.Video()->packets - 1) / span, 20.0) << probe.Video()->packets << " frames";
}
