// The capture library on its own, on a display of this program's own: these
// cases change the screen layout and move the pointer.
#include <gtest/gtest.h>

#include <QCursor>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QTest>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "glance/glancetestenv.h"
#include "platform/modules.h"
#include "platform/monitors.h"
#include "recorder/videocapture/glancerinterface.h"
#include "support/testsupport.h"

// Last: Xlib's macros clash with the names of the headers above.
#include <X11/Xlib.h>

namespace {

constexpr uint32_t kTeal = 0xFF1E9C8Au;
constexpr uint32_t kMagenta = 0xFFFF00FFu;

// What the library hands out, as its callbacks see it.
struct Frames {
  void Watch(GlancerConfig* config) {
    config->onFrame = [this](unsigned char* data, int, int w, int h) {
      std::lock_guard<std::mutex> lock(mutex);
      width = w;
      height = h;
      ++count;
      const auto* p = reinterpret_cast<const uint32_t*>(data);
      if (keepPixels) pixels.assign(p, p + w * h);
    };
    config->onClosed = [this] { ++closed; };
  }
  bool WaitForSize(int w, int h) {
    return QTest::qWaitFor(
        [&] {
          std::lock_guard<std::mutex> lock(mutex);
          return width == w && height == h;
        },
        10000);
  }
  uint32_t At(int x, int y) {
    std::lock_guard<std::mutex> lock(mutex);
    return pixels.empty() ? 0 : pixels[size_t(y) * width + x];
  }

  std::mutex mutex;
  int width = 0;
  int height = 0;
  std::atomic<int> count{0};
  std::atomic<int> closed{0};
  bool keepPixels = false;
  std::vector<uint32_t> pixels;
};

bool Xrandr(const QString& args) {
  return QProcess::execute("sh", {"-c", "xrandr " + args + " >/dev/null 2>&1"}) == 0;
}

// Puts the screen back as the display started, however the case ends.
struct LayoutRestorer {
  ~LayoutRestorer() {
    Xrandr("--delmonitor RIGHT");
    Xrandr("--output screen --mode 1920x1080");
  }
};

class GlanceTest : public CaptureLibraryTest {
 protected:
  void SetUp() override {
    CaptureLibraryTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    m_create =
        reinterpret_cast<CreateGlancerFunc>(platform::ResolveSymbol(m_library->handle, "CreateGlancer"));
    ASSERT_NE(m_create, nullptr);
  }

  std::unique_ptr<GlancerInterface> Started(GlancerConfig config) {
    config.interfaceKey = GLANCE_INTERFACE_KEY;
    std::unique_ptr<GlancerInterface> capturer(m_create());
    if (!capturer->Init(config) || !capturer->Start()) return nullptr;
    return capturer;
  }

  CreateGlancerFunc m_create = nullptr;
};

}  // namespace

TEST_F(GlanceTest, AMonitorFollowsAModeChangeAndClosesWhenItIsRemoved) {
  LayoutRestorer restorer;
  {
    Frames frames;
    GlancerConfig config;
    config.monitor = 1;
    frames.Watch(&config);
    auto capturer = Started(config);
    ASSERT_TRUE(capturer);
    ASSERT_TRUE(frames.WaitForSize(1920, 1080));
    // A region that the smaller mode cuts: closed rather than recorded black.
    Frames regionFrames;
    config.region = GlancerRect{1000, 100, 1400, 400};
    regionFrames.Watch(&config);
    auto region = Started(config);
    ASSERT_TRUE(region);
    ASSERT_TRUE(regionFrames.WaitForSize(400, 300));
    ASSERT_TRUE(Xrandr("--newmode 1280x720 74.48 1280 1336 1472 1664 720 721 724 746 -hsync +vsync") &&
                Xrandr("--addmode screen 1280x720") && Xrandr("--output screen --mode 1280x720"));
    EXPECT_TRUE(frames.WaitForSize(1280, 720));
    EXPECT_TRUE(QTest::qWaitFor([&] { return regionFrames.closed > 0; }, 10000));
    ASSERT_TRUE(Xrandr("--output screen --mode 1920x1080"));
    EXPECT_TRUE(frames.WaitForSize(1920, 1080));
    EXPECT_EQ(frames.closed, 0);
    EXPECT_EQ(regionFrames.closed, 1);
  }

  ASSERT_TRUE(Xrandr("--setmonitor RIGHT 960/254x1080/286+960+0 none"));
  platform::MonitorId right = 0;
  for (const auto& m : platform::GetMonitors().List())
    if (m.rect.left == 960) right = m.id;
  ASSERT_NE(right, 0u);
  Frames frames;
  GlancerConfig config;
  config.monitor = right;
  frames.Watch(&config);
  auto capturer = Started(config);
  ASSERT_TRUE(capturer);
  ASSERT_TRUE(frames.WaitForSize(960, 1080));
  // Missing when the mode changes, back a moment later: followed, not closed.
  ASSERT_TRUE(Xrandr("--delmonitor RIGHT") && Xrandr("--output screen --mode 1280x720") &&
              Xrandr("--setmonitor RIGHT 640/169x480/127+0+0 none") &&
              Xrandr("--output screen --mode 1920x1080"));
  EXPECT_TRUE(frames.WaitForSize(640, 480));
  EXPECT_EQ(frames.closed, 0);
  ASSERT_TRUE(Xrandr("--delmonitor RIGHT"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return frames.closed > 0; }, 10000));
  const int count = frames.count;
  QTest::qWait(300);
  EXPECT_EQ(frames.closed, 1);
  EXPECT_EQ(frames.count, count) << "no frames from a removed monitor";
}

TEST_F(GlanceTest, ACapturerDeletedFromItsOwnCallbackEndsCleanly) {
  std::unique_ptr<GlancerInterface> capturer;
  std::atomic<int> calls{0};
  std::atomic<bool> started{false};
  GlancerConfig config;
  config.monitor = 1;
  config.onFrame = [&](unsigned char*, int, int, int) {
    // A frame may come before Start has returned and the capturer is stored:
    // it waits for that (a still screen may send no second frame).
    for (int i = 0; i < 5000 && !started; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    capturer.reset();
    ++calls;
  };
  capturer = Started(config);
  ASSERT_TRUE(capturer);
  started = true;
  ASSERT_TRUE(QTest::qWaitFor([&] { return calls > 0; }, 10000));
  QTest::qWait(300);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(capturer, nullptr);
}

TEST_F(GlanceTest, ThePointerIsDrawnIntoFramesOnlyWhenAsked) {
  QWidget window(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  window.setStyleSheet("background: #1E9C8A");
  QPixmap shape(12, 12);
  shape.fill(QColor::fromRgb(kMagenta));
  window.setCursor(QCursor(shape, 0, 0));
  window.setGeometry(400, 300, 200, 120);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QCursor::setPos(450, 340);
  for (bool draw : {true, false}) {
    SCOPED_TRACE(draw ? "drawn" : "not drawn");
    Frames frames;
    frames.keepPixels = true;
    GlancerConfig config;
    config.window = window.winId();
    config.captureCursor = draw;
    frames.Watch(&config);
    auto capturer = Started(config);
    ASSERT_TRUE(capturer);
    ASSERT_TRUE(frames.WaitForSize(200, 120));
    // The pointer's hot spot is its top-left corner, at (50, 40).
    const uint32_t want = draw ? kMagenta : kTeal;
    EXPECT_TRUE(QTest::qWaitFor([&] { return frames.At(55, 45) == want; }, 5000));
    EXPECT_EQ(frames.At(55, 45), want);
    EXPECT_EQ(frames.At(30, 45), kTeal);
    EXPECT_EQ(frames.At(63, 53), kTeal);
  }
}

// Windows of 16- and 30-bit visuals, on servers of those depths: their
// pixels are turned into BGRA like those of any other window.
TEST_F(GlanceTest, WindowsOfOtherDepthsAreConverted) {
  for (const int depth : {16, 30}) {
    SCOPED_TRACE(depth);
    testsupport::OwnXvfb xvfb("640x480x" + std::to_string(depth));
    ASSERT_FALSE(xvfb.display().empty());
    Display* d = XOpenDisplay(xvfb.display().c_str());
    ASSERT_NE(d, nullptr);
    const int screen = DefaultScreen(d);
    if (DefaultDepth(d, screen) != depth) {
      XCloseDisplay(d);
      GTEST_SKIP() << "Xvfb offers no " << depth << "-bit screen";
    }
    const Visual* visual = DefaultVisual(d, screen);
    const Window window = XCreateSimpleWindow(d, RootWindow(d, screen), 10, 20, 64, 32, 0, 0, 0);
    XMapWindow(d, window);
    GC gc = XCreateGC(d, window, 0, nullptr);
    // Magenta on the left, green on the right: every channel full or empty.
    const auto paint = [&] {
      XSetForeground(d, gc, visual->red_mask | visual->blue_mask);
      XFillRectangle(d, window, gc, 0, 0, 32, 32);
      XSetForeground(d, gc, visual->green_mask);
      XFillRectangle(d, window, gc, 32, 0, 32, 32);
      XSync(d, False);
    };
    paint();
    Frames frames;
    frames.keepPixels = true;
    GlancerConfig config;
    config.window = window;
    frames.Watch(&config);
    const std::string shared = std::getenv("DISPLAY");
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    auto capturer = Started(config);
    setenv("DISPLAY", shared.c_str(), 1);
    ASSERT_TRUE(capturer);
    paint();
    EXPECT_TRUE(frames.WaitForSize(64, 32));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return frames.At(5, 5) == 0xFFFF00FFu && frames.At(40, 5) == 0xFF00FF00u; }, 5000));
    EXPECT_EQ(frames.closed, 0);
    capturer.reset();
    XFreeGC(d, gc);
    XCloseDisplay(d);
  }
}

int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
