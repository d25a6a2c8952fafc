#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QPainter>
#include <QTest>
#include <QWidget>

#include <atomic>
#include <cstdlib>
#include <future>
#include <memory>

#include "glance/glancetestenv.h"
#include "platform/modules.h"
#include "platform/monitors.h"
#include "platform/termination.h"
#include "platform/windows.h"
#include "recorder/videocapture/capturertestsupport.h"
#include "recorder/videocapture/glancer.h"
#include "support/testsupport.h"

namespace {

constexpr uint32_t kTeal = 0xFF1E9C8Au;

class ColourWindow : public QWidget {
 public:
  explicit ColourWindow(uint32_t colour)
      : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint),
        m_colour(colour) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setWindowTitle("glance target");
  }
  void SetColour(uint32_t colour) {
    m_colour = colour;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor::fromRgb(m_colour));
    // A marker in the corner shows that rows are not shifted.
    p.fillRect(0, 0, 4, 2, Qt::white);
  }

 private:
  uint32_t m_colour;
};

struct LostCounter : WindowCapturerObserver {
  void OnDeviceLost() override { ++lost; }
  std::atomic<int> lost{0};
};

bool Painted(const FrameSink::Copy& f, uint32_t colour) {
  if (f.width < 5 || f.height < 3) return false;
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      const uint32_t want = (x < 4 && y < 2) ? 0xFFFFFFFFu : colour;
      if (f.At(x, y) != want) return false;
    }
  return true;
}

class GlancerTest : public CaptureLibraryTest {
 protected:
  void SetUp() override {
    CaptureLibraryTest::SetUp();
    if (!IsSkipped() && !HasFatalFailure()) QCursor::setPos(1900, 1070);
  }
};

}  // namespace

TEST_F(GlancerTest, WindowIsCapturedPixelExactFollowsItsSizeAndReportsItsClosing) {
  auto window = std::make_unique<ColourWindow>(kTeal);
  window->setGeometry(400, 300, 200, 120);
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));

  Glancer glancer;
  EXPECT_TRUE(glancer.IsSupported(0));
  LostCounter observer;
  glancer.AddObserver(&observer);
  CaptureParams params;
  params.mode = RecordMode::Window;
  params.window = window->winId();
  ASSERT_TRUE(glancer.Init(params));
  EXPECT_EQ(glancer.GetPixelFormat(), AV_PIX_FMT_BGRA);
  EXPECT_EQ(glancer.GetCaptureRect(), (platform::Rect{400, 300, 600, 420}));
  FrameSink sink;
  glancer.SetCallbacks([&sink](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(glancer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return !f.empty() && Painted(f.back(), kTeal); },
                           true));
  EXPECT_EQ(sink.Last().width, 200);
  EXPECT_EQ(sink.Last().height, 120);
  EXPECT_EQ(sink.Last().linesize, 800);

  // A window covered by another is still captured from its own pixmap.
  ColourWindow cover(0xFF800000u);
  cover.setGeometry(450, 320, 100, 60);
  cover.show();
  window->SetColour(0xFF3050F0u);
  ASSERT_TRUE(sink.WaitFor(
      [](const auto& f) { return !f.empty() && Painted(f.back(), 0xFF3050F0u); }, true));
  cover.hide();

  // Grown: frames come at the new size.
  window->resize(260, 150);
  ASSERT_TRUE(sink.WaitFor(
      [](const auto& f) {
        return !f.empty() && f.back().width == 260 && f.back().height == 150 &&
               Painted(f.back(), 0xFF3050F0u);
      },
      true));

  // Closing the window is the loss of the device, reported once.
  window.reset();
  ASSERT_TRUE(sink.WaitFor([&](const auto&) { return observer.lost.load() > 0; }, true));
  const size_t frames = sink.Count();
  QTest::qWait(200);
  EXPECT_EQ(observer.lost, 1);
  EXPECT_EQ(sink.Count(), frames) << "no frames from a closed window";
  EXPECT_TRUE(glancer.Stop());
}

TEST_F(GlancerTest, MonitorRegionIsCroppedFromTheMonitor) {
  ColourWindow window(0xFF20A040u);
  window.setGeometry(700, 500, 100, 80);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const auto monitors = platform::GetMonitors().List();
  ASSERT_FALSE(monitors.empty());

  Glancer glancer;
  CaptureParams params;
  params.mode = RecordMode::Region;
  params.monitor = monitors.front().id;
  params.region = {690, 490, 810, 590};
  ASSERT_TRUE(glancer.Init(params));
  EXPECT_EQ(glancer.GetCaptureRect(), params.region);
  FrameSink sink;
  glancer.SetCallbacks([&sink](AVFrame* f) { sink(f); }, nullptr);
  ASSERT_EQ(glancer.Start(), 0);
  ASSERT_TRUE(sink.WaitFor(
      [](const auto& f) {
        return !f.empty() && f.back().At(10, 10) == 0xFFFFFFFFu &&
               f.back().At(50, 50) == 0xFF20A040u;
      },
      true));
  glancer.Stop();
  // No still images from the library: the caller must not take an empty one.
  uint8_t* data = nullptr;
  int width = 0, height = 0;
  EXPECT_FALSE(glancer.Snapshot(params.monitor, &data, &width, &height));
  EXPECT_EQ(data, nullptr);
  const auto last = sink.Last();
  EXPECT_EQ(last.width, 120);
  EXPECT_EQ(last.height, 100);
  for (int y = 10; y < 90; ++y)
    for (int x = 10; x < 110; ++x) {
      const uint32_t want = (x < 14 && y < 12) ? 0xFFFFFFFFu : 0xFF20A040u;
      ASSERT_EQ(last.At(x, y), want) << x << "," << y;
    }
}

TEST_F(GlancerTest, LibraryChecksItsKeyAndCropsRegionsBeyondTheWindow) {
  ColourWindow window(kTeal);
  window.setGeometry(100, 100, 80, 60);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  LoadedLibrary* library = FindLoadedLibrary(LoadedLibraries(), kCaptureLibraryName);
  auto create = reinterpret_cast<CreateGlancerFunc>(
      platform::ResolveSymbol(library->handle, "CreateGlancer"));
  ASSERT_NE(create, nullptr);

  std::unique_ptr<GlancerInterface> capturer(create());
  EXPECT_TRUE(capturer->Start()) << "start before init captures nothing";
  EXPECT_TRUE(capturer->Stop());
  GlancerConfig config;
  config.window = window.winId();
  std::string key = GLANCE_INTERFACE_KEY;
  for (const std::string& wrong :
       {key.substr(0, 37), key + "}", QString::fromStdString(key).toLower().toStdString(),
        std::string()}) {
    config.interfaceKey = wrong;
    EXPECT_FALSE(capturer->Init(config)) << wrong;
  }

  FrameSink sink;
  config.interfaceKey = key;
  config.region = {40, 30, 120, 80};  // right and bottom lie beyond the window
  config.onFrame = [&](unsigned char* data, int size, int width, int height) {
    ASSERT_EQ(size, width * height * 4);
    AVFrame frame{};
    frame.width = width;
    frame.height = height;
    frame.data[0] = data;
    frame.linesize[0] = width * 4;
    sink(&frame);
  };
  ASSERT_TRUE(capturer->Init(config));
  ASSERT_TRUE(capturer->Start());
  ASSERT_TRUE(sink.WaitFor([](const auto& f) { return !f.empty(); }, true));
  capturer.reset();  // stops and releases
  const auto f = sink.Last();
  ASSERT_EQ(f.width, 80);
  ASSERT_EQ(f.height, 50);
  for (int y = 0; y < 50; ++y)
    for (int x = 0; x < 80; ++x) {
      const bool inside = x < 40 && y < 30;
      ASSERT_EQ(f.At(x, y), inside ? kTeal : 0u) << x << "," << y;
    }

  // A window that does not exist cannot be captured.
  std::unique_ptr<GlancerInterface> missing(create());
  config.window = 0x7FFFFFF0;
  EXPECT_FALSE(missing->Init(config));
}

// The X server ends while capturing, with the program's handling of broken
// connections: the worker neither ends the process nor hangs the stop.
TEST_F(GlancerTest, DisplayGoneLeavesTheCaptureStoppable) {
  testsupport::OwnXvfb xvfb;
  ASSERT_FALSE(xvfb.display().empty());
  platform::InstallDisplayLossHandler(nullptr);
  LoadedLibrary* library = FindLoadedLibrary(LoadedLibraries(), kCaptureLibraryName);
  auto create = reinterpret_cast<CreateGlancerFunc>(
      platform::ResolveSymbol(library->handle, "CreateGlancer"));
  std::unique_ptr<GlancerInterface> capturer(create());
  std::atomic<int> frames{0};
  GlancerConfig config;
  config.interfaceKey = GLANCE_INTERFACE_KEY;
  config.captureCursor = true;
  config.onFrame = [&](unsigned char*, int, int, int) { ++frames; };
  const std::string shared = std::getenv("DISPLAY");
  setenv("DISPLAY", xvfb.display().c_str(), 1);
  const bool initialised = capturer->Init(config);
  setenv("DISPLAY", shared.c_str(), 1);
  ASSERT_TRUE(initialised);
  ASSERT_TRUE(capturer->Start());
  ASSERT_TRUE(QTest::qWaitFor([&] { return frames > 0; }, 10000));

  xvfb.Kill(SIGKILL);
  QTest::qWait(500);  // the worker meets the broken connection
  auto stopped = std::async(std::launch::async, [&] { return capturer->Stop(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(GlancerWithoutLibrary, IsUnavailable) {
  LoadedLibraryList saved;
  saved.splice(saved.end(), LoadedLibraries());
  {
    Glancer glancer;
    EXPECT_FALSE(glancer.IsSupported(0));
    CaptureParams params;
    params.mode = RecordMode::Window;
    params.window = 1;
    EXPECT_FALSE(glancer.Init(params));
    EXPECT_EQ(glancer.Start(), -1);
    EXPECT_FALSE(glancer.Stop());
    EXPECT_EQ(glancer.GetPixelFormat(), -1);
  }
  LoadedLibraries().splice(LoadedLibraries().end(), saved);
}
