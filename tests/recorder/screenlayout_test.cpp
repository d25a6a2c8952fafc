// A monitor recording while the screen layout changes, on a display of its
// own: the layout changes must not disturb tests running beside it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/monitors.h"
#include "recorder/recorder.h"
#include "settings.h"
#include "support/mediaprobe.h"
#include "support/testsupport.h"

namespace {

bool Xrandr(const std::string& arguments) {
  return std::system(("xrandr " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

void Pump(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Green over the monitor's top-left 640 x 480, red elsewhere, and a square
// that blinks in the green so that the screen keeps changing.
class LayoutWindow : public QWidget {
 public:
  explicit LayoutWindow(QColor corner = Qt::green, QColor rest = Qt::red)
      : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                             Qt::WindowStaysOnTopHint),
        m_corner(corner),
        m_rest(rest) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(&m_timer, &QTimer::timeout, this, [this] {
      m_on = !m_on;
      update();
    });
    m_timer.start(40);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), m_rest);
    painter.fillRect(0, 0, 640, 480, m_corner);
    painter.fillRect(20, 20, 40, 40, m_on ? Qt::white : Qt::black);
  }

 private:
  QColor m_corner;
  QColor m_rest;
  QTimer m_timer;
  bool m_on = false;
};

class Observer : public RecorderObserver {
 public:
  void OnRecorderNotify(NotifyType, RecordError code) override {
    lastCode = code;
    ++calls;
  }
  std::atomic<int> calls{0};
  std::atomic<int> lastCode{0};
};

// The recorded monitor shrinks: the source opens again at the new size,
// which is scaled into the same picture size; then the monitor is removed:
// the recording is told that its source is lost.
TEST(ScreenLayout, ResizedMonitorIsScaledAndARemovedOneIsLost) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  int argc = 1;
  char name[] = "screenlayout_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  ASSERT_TRUE(Xrandr("--setmonitor '*LEFT' 960/254x1080/286+0+0 screen") &&
              Xrandr("--setmonitor RIGHT 960/254x1080/286+960+0 none"));
  platform::MonitorId right = 0;
  for (const auto& m : platform::GetMonitors().List())
    if (m.deviceName == "RIGHT") right = m.id;
  ASSERT_NE(right, 0u);
  LayoutWindow window;
  window.setGeometry(960, 0, 960, 1080);
  window.show();
  Pump(300);

  testsupport::TempDir dir;
  ASSERT_TRUE(Settings::Instance()->Init());
  Settings* s = Settings::Instance();
  s->SetGeneralFilesaveurl(QString::fromStdString(dir.path()));
  s->SetRecordVideoframerate(20);
  s->SetRecordRecordresolution(0);
  s->SetRecordRecordaudio(3);
  s->SetRecordFilesegment(0);
  s->SetWatermarkText("");
  s->SetGeneralRecordmouse(false);

  Recorder recorder;
  Observer observer;
  recorder.CreateMuxer();
  recorder.AddObserver(&observer);
  RecordParams params;
  params.mode = RecordMode::Monitor;
  params.monitor = right;
  params.outputPath = dir.path() + "/layout.mp4";
  params.qp = 28;
  ASSERT_EQ(recorder.Start(params), 0);
  Pump(1500);
  // A monitor is given a new size by replacing it.
  ASSERT_TRUE(Xrandr("--delmonitor RIGHT") &&
              Xrandr("--setmonitor RIGHT 640/169x480/127+960+0 none"));
  Pump(2000);
  EXPECT_EQ(observer.calls, 0) << "a monitor that is still there was reported lost";
  ASSERT_TRUE(Xrandr("--delmonitor RIGHT"));
  for (int i = 0; i < 100 && observer.calls == 0; ++i) Pump(50);
  EXPECT_EQ(observer.calls, 1);
  EXPECT_EQ(observer.lastCode, kRecordCaptureLost);
  recorder.Stop();
  Xrandr("--delmonitor LEFT");
  s->GetGeneralFilesaveurl();  // flushed while the text codecs still exist

  // The last pictures show only the shrunk monitor's green, stretched over
  // the whole picture.
  bool lastIsGreen = false;
  const testsupport::MediaProbe probe = testsupport::ProbeMedia(
      params.outputPath, [&](const uint8_t* bgra, int width, int height, double) {
        const uint8_t* p = bgra + (size_t(height - 40) * width + (width - 40)) * 4;
        lastIsGreen = p[1] > 200 && p[2] < 60;
      });
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  EXPECT_EQ(probe.Video()->width, 960);
  EXPECT_EQ(probe.Video()->height, 1080);
  EXPECT_EQ(probe.decodeErrors, 0);
  EXPECT_GT(probe.duration, 3.0);
  EXPECT_TRUE(lastIsGreen);
}

// A region recording keeps its place on its monitor when the monitor moves;
// when the monitor shrinks under it, the recording is told that its source
// is lost rather than recording black.
TEST(ScreenLayout, ARegionFollowsItsMonitorAndIsLostWhenItNoLongerFits) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  int argc = 1;
  char name[] = "screenlayout_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  ASSERT_TRUE(Xrandr("--setmonitor RIGHT 960/254x1080/286+960+0 none"));
  platform::MonitorId right = 0;
  for (const auto& m : platform::GetMonitors().List())
    if (m.deviceName == "RIGHT") right = m.id;
  ASSERT_NE(right, 0u);
  LayoutWindow green(Qt::green, Qt::green);
  green.setGeometry(960, 0, 960, 1080);
  green.show();
  LayoutWindow blue(Qt::blue, Qt::blue);
  blue.setGeometry(0, 0, 960, 1080);
  blue.show();
  Pump(300);

  testsupport::TempDir dir;
  ASSERT_TRUE(Settings::Instance()->Init());
  Settings* s = Settings::Instance();
  s->SetRecordVideoframerate(20);
  s->SetRecordRecordaudio(3);
  s->SetRecordFilesegment(0);
  s->SetWatermarkText("");
  s->SetGeneralRecordmouse(false);
  Recorder recorder;
  Observer observer;
  recorder.CreateMuxer();
  recorder.AddObserver(&observer);
  RecordParams params;
  params.mode = RecordMode::Region;
  params.monitor = right;
  params.region = {1060, 100, 1380, 340};  // 100, 100 on the monitor
  params.outputPath = dir.path() + "/region.mp4";
  params.qp = 28;
  ASSERT_EQ(recorder.Start(params), 0);
  Pump(1500);
  // The monitor moves to the left half, over the blue window.
  ASSERT_TRUE(Xrandr("--delmonitor RIGHT") &&
              Xrandr("--setmonitor RIGHT 960/254x1080/286+0+0 none"));
  Pump(1500);
  EXPECT_EQ(observer.calls, 0) << "a moved monitor was reported lost";
  // Shrunk below the region's far corner.
  ASSERT_TRUE(Xrandr("--delmonitor RIGHT") &&
              Xrandr("--setmonitor RIGHT 320/85x240/64+0+0 none"));
  for (int i = 0; i < 100 && observer.calls == 0; ++i) Pump(50);
  EXPECT_EQ(observer.calls, 1);
  EXPECT_EQ(observer.lastCode, kRecordCaptureLost);
  recorder.Stop();
  Xrandr("--delmonitor RIGHT");
  s->GetGeneralFilesaveurl();  // flushed while the text codecs still exist

  // Green, then blue; never black.
  int greens = 0, blues = 0, others = 0;
  const testsupport::MediaProbe probe = testsupport::ProbeMedia(
      params.outputPath, [&](const uint8_t* bgra, int width, int height, double) {
        const uint8_t* p = bgra + (size_t(height / 2) * width + width / 2) * 4;
        if (p[1] > 200 && p[0] < 60 && p[2] < 60 && blues == 0) ++greens;
        else if (p[0] > 200 && p[1] < 60 && p[2] < 60) ++blues;
        else ++others;
      });
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  EXPECT_EQ(probe.Video()->width, 320);
  EXPECT_EQ(probe.Video()->height, 240);
  EXPECT_EQ(probe.decodeErrors, 0);
  EXPECT_GT(greens, 0);
  EXPECT_GT(blues, 0);
  EXPECT_EQ(others, 0);
}

}  // namespace

int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
