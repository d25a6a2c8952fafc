#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QPainter>
#include <QTest>
#include <QWidget>

#include <cmath>
#include <cstdlib>
#include <memory>

#include "mainwindow/guitestenv.h"
#include "platform/screen_copy.h"
#include "recorder/mousepreprocesser.h"
#include "recorder/videocapture/capturertestsupport.h"
#include "recorder/videocapture/dxgicapturer.h"
#include "recorder/videocapture/gdicapturer.h"
#include "support/testsupport.h"

namespace {

constexpr uint32_t kBackground = 0xFFC8C8C8u;

class Backdrop : public QWidget {
 public:
  Backdrop() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::ArrowCursor);
  }

 protected:
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), QColor(kBackground)); }
};

int Channel(uint32_t pixel, int shift) { return int((pixel >> shift) & 0xFF); }

}  // namespace

// A desktop theme's pointer has a soft shadow and anti-aliased edges: both
// sources lay it over the picture instead of pasting a dark blob, and the
// halo circles its hot spot.
TEST(PointerX11, ThemedPointerIsBlendedAndTheHaloCirclesItsHotSpot) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  setenv("XCURSOR_THEME", "Adwaita", 1);
  setenv("XCURSOR_SIZE", "24", 1);
  platform::Backend::Use(platform::BackendKind::X11);
  guitest::App();
  Backdrop backdrop;
  backdrop.setGeometry(200, 200, 300, 300);
  backdrop.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&backdrop));
  QCursor::setPos(350, 350);

  // The pointer image as the display holds it: the theme's, with shadow.
  std::unique_ptr<platform::ScreenCopy> screen;
  ASSERT_EQ(platform::OpenScreenCopy(&screen), platform::Result::Ok);
  platform::CursorImage cursor;
  int translucent = 0;
  for (int i = 0; i < 200 && translucent < 20; ++i) {
    QTest::qWait(20);
    ASSERT_EQ(screen->GetCursor(&cursor), platform::Result::Ok);
    translucent = 0;
    for (uint32_t p : cursor.pixels) translucent += (p >> 24) > 0 && (p >> 24) < 0xFF;
  }
  ASSERT_GE(translucent, 20) << "no themed pointer";

  for (int source = 0; source < 2; ++source) {
    SCOPED_TRACE(source == 0 ? "duplication" : "screen copy");
    std::unique_ptr<WindowCapturerInterface> capturer;
    if (source == 0)
      capturer = std::make_unique<DXGICapturer>();
    else
      capturer = std::make_unique<GdiCapturer>();
    CaptureParams params;
    params.mode = RecordMode::Region;
    params.region = {200, 200, 500, 500};
    params.frameRate = 30;
    params.drawCursor = params.preProcess = true;
    params.blue = 255;
    params.haloDiameter = 50;  // a ring of radius 25
    capturer->AddPreProcesser(std::make_shared<MousePreProcesser>());
    ASSERT_TRUE(capturer->Init(params));
    FrameSink sink;
    capturer->SetCallbacks([&sink](AVFrame* f) { sink(f); }, nullptr);
    ASSERT_EQ(capturer->Start(), 0);
    // The hot spot lies at (150, 150) of the frame.
    ASSERT_TRUE(sink.WaitFor(
        [](const auto& f) { return !f.empty() && f.back().At(150 + 25, 150) != kBackground; },
        true));
    capturer->Stop();
    const auto f = sink.Last();

    for (auto [dx, dy] : {std::pair{25, 0}, std::pair{-25, 0}, std::pair{0, 25}, std::pair{0, -25}}) {
      const uint32_t ring = f.At(150 + dx, 150 + dy);
      EXPECT_GT(Channel(ring, 0), 200) << dx << "," << dy;
      EXPECT_LT(Channel(ring, 16), 100) << dx << "," << dy;
    }
    // Away from the ring, each pointer pixel is its premultiplied colour
    // over the backdrop.
    for (int y = 0; y < cursor.height; ++y)
      for (int x = 0; x < cursor.width; ++x) {
        const int fx = 150 - cursor.hotX + x, fy = 150 - cursor.hotY + y;
        if (std::abs(std::hypot(fx - 150, fy - 150) - 25) < 5) continue;
        const uint32_t p = cursor.pixels[size_t(y) * cursor.width + x];
        const int a = int(p >> 24);
        for (int shift : {0, 8, 16}) {
          const int want = std::min(255, Channel(p, shift) +
                                             Channel(kBackground, shift) * (255 - a) / 255);
          ASSERT_NEAR(Channel(f.At(fx, fy), shift), want, 2) << x << "," << y << " alpha " << a;
        }
      }
  }
}
