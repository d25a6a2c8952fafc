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
#include <memory>
#include <mutex>
#include <vector>

#include "glance/glancetestenv.h"
#include "platform/modules.h"
#include "platform/monitors.h"
#include "recorder/videocapture/glancerinterface.h"
#include "support/testsupport.h"

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
    ASSERT_TRUE(Xrandr("--newmode 1280x720 74.48 1280 1336 1472 1664 720 721 724 746 -hsync +vsync") &&
                Xrandr("--addmode screen 1280x720") && Xrandr("--output screen --mode 1280x720"));
    EXPECT_TRUE(frames.WaitForSize(1280, 720));
    ASSERT_TRUE(Xrandr("--output screen --mode 1920x1080"));
    EXPECT_TRUE(frames.WaitForSize(1920, 1080));
    EXPECT_EQ(frames.closed, 0);
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
    // A frame may come before Start has returned and the capturer is stored.
    if (!started) return;
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

int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
