#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QPainter>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <memory>
#include <vector>

#include "recorder/ffmpegmuxer.h"
#include "recorder/videocapture/capturertestsupport.h"
#include "recorder/videocapture/dxgicapturer.h"
#include "recorder/videocapture/glancer.h"
#include "loadedlibraries.h"
#include "platform/monitors.h"
#include "platform/screen_duplication.h"
#include "support/framenumber.h"
#include "support/mediaprobe.h"
#include "support/testsupport.h"

// Last: its macros would clash with the names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

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
  params.mode = RecordMode::Region;
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

// Parts that change far apart at once are each brought up to date in the
// image (the rows between them need not be copied).
TEST(DXGICapturerX11, FarApartChangesAreAllCopied) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  int argc = 1;
  char name[] = "dxgicapturer_x11_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  const auto monitors = platform::GetMonitors().List();
  ASSERT_FALSE(monitors.empty());
  const platform::Rect screen = monitors.front().rect;
  const int places[3][2] = {{0, 0}, {200, 300}, {screen.Width() - 264, screen.Height() - 264}};
  PatternWindow windows[3];
  for (int i = 0; i < 3; ++i) {
    windows[i].setGeometry(screen.left + places[i][0], screen.top + places[i][1], 64, 64);
    windows[i].show();
  }
  QApplication::processEvents();
  std::unique_ptr<platform::ScreenDuplication> duplication;
  ASSERT_EQ(platform::DuplicateOutput(monitors.front(), &duplication), platform::Result::Ok);
  for (int phase = 1; phase <= 5; ++phase) {
    for (PatternWindow& window : windows) window.SetPhase(phase * 40);
    for (PatternWindow& window : windows) window.repaint();
    QApplication::sync();
    // The compositor draws the change in its own time: frames are taken for
    // a while, the windows' pixels read from the last.
    std::vector<uint32_t> seen;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    while (std::chrono::steady_clock::now() < until) {
      platform::DuplicationFrameInfo info;
      if (duplication->AcquireNextFrame(50, &info) != platform::Result::Ok) continue;
      int pitch = 0;
      const uint8_t* image = duplication->FrameImage(&pitch);
      ASSERT_NE(image, nullptr);
      seen.clear();
      for (const auto& place : places)
        for (int y = 0; y < 64; y += 9)
          for (int x = 0; x < 64; x += 7) {
            uint32_t pixel;
            std::memcpy(&pixel, image + size_t(place[1] + y) * pitch + size_t(place[0] + x) * 4,
                        4);
            seen.push_back(pixel);
          }
      duplication->ReleaseFrame();
    }
    ASSERT_FALSE(seen.empty());
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
      int stale = 0;
      for (int y = 0; y < 64; y += 9)
        for (int x = 0; x < 64; x += 7)
          if ((seen[at++] & 0xFFFFFF) != (Pattern(x, y, phase * 40) & 0xFFFFFF)) ++stale;
      EXPECT_EQ(stale, 0) << "window " << i << ", phase " << phase;
    }
  }
}

namespace {

// Numbered pictures at a set rate in a window of their own, drawn from their
// own thread and display connection.
class NumberedWindow {
 public:
  static constexpr int kBlock = 16;
  static constexpr int kWidth = testsupport::kFrameNumberBits * kBlock;
  static constexpr int kHeight = 2 * kBlock;

  NumberedWindow(int x, int y, double fps) : m_pixels(size_t(kWidth) * kHeight * 4) {
    m_display = XOpenDisplay(nullptr);
    if (!m_display) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    m_window = XCreateWindow(m_display, DefaultRootWindow(m_display), x, y, kWidth, kHeight, 0,
                             CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect,
                             &attributes);
    XMapRaised(m_display, m_window);
    m_image = XCreateImage(m_display, DefaultVisual(m_display, DefaultScreen(m_display)), 24,
                           ZPixmap, 0, reinterpret_cast<char*>(m_pixels.data()), kWidth, kHeight,
                           32, kWidth * 4);
    XSync(m_display, False);
    m_thread = std::thread([this, fps] { Run(fps); });
  }
  platform::WindowId Id() const { return m_window; }

  ~NumberedWindow() {
    m_running = false;
    if (m_thread.joinable()) m_thread.join();
    if (!m_display) return;
    m_image->data = nullptr;  // the pixels are ours
    XDestroyImage(m_image);
    XDestroyWindow(m_display, m_window);
    XCloseDisplay(m_display);
  }

 private:
  void Run(double fps) {
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::nanoseconds(int64_t(1e9 / fps));
    auto next = Clock::now();
    for (uint32_t n = 0; m_running; ++n) {
      testsupport::DrawFrameNumber(n, m_pixels.data(), kWidth * 4, kBlock);
      XPutImage(m_display, m_window, DefaultGC(m_display, DefaultScreen(m_display)), m_image, 0, 0,
                0, 0, kWidth, kHeight);
      XSync(m_display, False);
      // Never faster than the rate, also after a stall.
      next = std::max(next + interval, Clock::now() + interval);
      std::this_thread::sleep_until(next);
    }
  }

  Display* m_display = nullptr;
  Window m_window = 0;
  XImage* m_image = nullptr;
  std::vector<uint8_t> m_pixels;
  std::atomic<bool> m_running{true};
  std::thread m_thread;
};

// A capture source, noting the number of every picture it hands on.
class NotingSource : public WindowCapturerInterface {
 public:
  explicit NotingSource(WindowCapturerInterface* source) : m_source(source) {}
  bool IsSupported(platform::MonitorId target) override { return m_source->IsSupported(target); }
  bool Init(const CaptureParams& params) override {
    if (!m_source->Init(params)) return false;
    m_pixelFormat = m_source->GetPixelFormat();
    m_captureRect = m_source->GetCaptureRect();
    return true;
  }
  int Start() override {
    m_source->SetCallbacks(
        [this](AVFrame* frame) {
          const int number =
              testsupport::ReadFrameNumber(frame->data[0], frame->linesize[0], NumberedWindow::kBlock);
          if (number >= 0 && (numbers.empty() || numbers.back() != number)) numbers.push_back(number);
          if (m_frameCallback) m_frameCallback(frame);
        },
        m_errorCallback);
    return m_source->Start();
  }
  bool Stop() override { return m_source->Stop(); }
  bool Snapshot(platform::MonitorId, uint8_t**, int*, int*) override { return false; }

  std::vector<int> numbers;  // capture thread until Stop

 private:
  std::unique_ptr<WindowCapturerInterface> m_source;
};

}  // namespace

// A window whose pictures change at the recording's frame rate, recorded
// from the screen at 25, 30 and 60 fps, and as a window through the capture
// library at 25 fps: every picture the source presented is in the file, in
// its order. (Pictures a constant-rate player shows twice, where the window
// was late, are counted for the record.)
TEST(DXGICapturerX11, EveryPresentedPictureReachesTheFile) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  if (LoadedLibraries().empty()) LoadCaptureLibrary(LoadedLibraries());
  testsupport::TempDir dir;
  for (const int run : {25, 30, 60, -25}) {
    const bool window = run < 0;
    const int fps = std::abs(run);
    SCOPED_TRACE(window ? "window" : "screen");
    SCOPED_TRACE(fps);
    NumberedWindow numbered(600, 400, fps);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    NotingSource source(window ? static_cast<WindowCapturerInterface*>(new Glancer)
                               : new DXGICapturer);
    CaptureParams params;
    params.mode = window ? RecordMode::Window : RecordMode::Region;
    params.window = numbered.Id();
    params.region = {600, 400, 600 + NumberedWindow::kWidth, 400 + NumberedWindow::kHeight};
    ASSERT_TRUE(source.Init(params));
    MuxParams mux;
    mux.fps = fps;
    mux.width = NumberedWindow::kWidth;
    mux.height = NumberedWindow::kHeight;
    mux.qp = 20;
    const std::string path = dir.path() + "/numbered" + std::to_string(run) + ".mp4";
    FfmpegMuxer muxer;
    ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, mux), 0);
    ASSERT_EQ(muxer.Start(), 0);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    muxer.Stop();

    std::vector<int> recorded;
    int twice = 0;
    double last = -1;
    testsupport::ProbeMedia(path, [&](const uint8_t* bgra, int width, int, double time) {
      recorded.push_back(testsupport::ReadFrameNumber(bgra, width * 4, NumberedWindow::kBlock));
      if (last >= 0) twice += int(std::lround((time - last) * fps)) - 1;
      last = time;
    });
    ASSERT_GT(source.numbers.size(), size_t(fps * 2));
    int missing = 0;
    for (int number : source.numbers)
      missing += std::find(recorded.begin(), recorded.end(), number) == recorded.end();
    printf("%s at %d fps: %zu pictures presented, %zu in the file, %d missing, %d shown twice\n",
           window ? "window" : "screen", fps, source.numbers.size(), recorded.size(), missing, twice);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(std::count(recorded.begin(), recorded.end(), -1), 0) << "unreadable pictures";
    EXPECT_TRUE(std::is_sorted(recorded.begin(), recorded.end()));
  }
}
