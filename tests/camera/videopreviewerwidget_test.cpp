#include <gtest/gtest.h>

#include <QApplication>
#include <QProcess>
#include <QScreen>
#include <QTest>

#include <chrono>
#include <thread>

#include "../mainwindow/guitestenv.h"
#include "camera/videopreviewerwidget.h"
#include "camerafixtures.h"
#include "platform/backend.h"

using platform::CameraPixelFormat;
using platform::fake::FakeCamera;
using platform::fake::FakeCameras;
using Zone = ResizeWidget::Zone;

namespace {

class VideoPreviewerWidgetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    platform::Backend::Use(platform::BackendKind::Fake);
    guitest::App();
    FakeCamera cam;
    cam.device = {"/dev/video3", "Desk Cam"};
    cam.formats = {camtest::Format(CameraPixelFormat::YUY2, 1920, 1080),
                   camtest::Format(CameraPixelFormat::MJPEG, 1280, 720),
                   camtest::Format(CameraPixelFormat::MJPEG, 640, 480)};
    cam.samples[1] = {camtest::ToMjpeg(camtest::TestPicture(1280, 720))};
    FakeCamera yuy2Only;
    yuy2Only.device = {"/dev/video4", "Old Cam"};
    yuy2Only.formats = {camtest::Format(CameraPixelFormat::YUY2, 640, 480)};
    FakeCamera busy;  // held by another program
    busy.device = {"/dev/video5", "Busy Cam"};
    busy.formats = {camtest::Format(CameraPixelFormat::MJPEG, 640, 480)};
    busy.openResult = platform::Result::Failed;
    FakeCameras::Instance().SetCameras({cam, yuy2Only, busy});
  }
  void TearDown() override { FakeCameras::Instance().Reset(); }
};

TEST_F(VideoPreviewerWidgetTest, FloatsOnTopAndShowsTheWidestCameraPicture) {
  VideoPreviewerWidget widget;
  EXPECT_TRUE(widget.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(widget.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(widget.DeviceId(), "");

  ASSERT_TRUE(widget.StartPreview("Desk Cam", "/dev/video3"));
  EXPECT_EQ(widget.size(), QSize(360, 202));
  EXPECT_EQ(widget.DeviceId(), "/dev/video3");
  EXPECT_EQ(FakeCameras::Instance().LastOpenedFormat().width, 1280);
  EXPECT_EQ(FakeCameras::Instance().LastOpenedFormat().requestedInterval, 333333);  // at its 30 fps
  widget.move(200, 200);
  widget.show();

  // Wait until the picture is on the screen, then keep a screenshot.
  QImage shot;
  for (int i = 0; i < 300; ++i) {
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    shot = QGuiApplication::primaryScreen()->grabWindow(0, widget.x(), widget.y(), 360, 202).toImage();
    if (camtest::Near(shot.pixelColor(90, 100), QColor(255, 0, 0)) &&
        camtest::Near(shot.pixelColor(270, 100), QColor(0, 0, 255)))
      break;
  }
  EXPECT_TRUE(camtest::Near(shot.pixelColor(90, 100), QColor(255, 0, 0)));
  EXPECT_TRUE(camtest::Near(shot.pixelColor(270, 100), QColor(0, 0, 255)));
  EXPECT_TRUE(guitest::SaveScreenshot(&widget, "camera_floating_preview"));

  widget.StopPreview();
  EXPECT_EQ(widget.DeviceId(), "");
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);
}

TEST_F(VideoPreviewerWidgetTest, ACameraThatCannotBePreviewedChangesNothing) {
  VideoPreviewerWidget widget;
  widget.resize(100, 80);
  EXPECT_FALSE(widget.StartPreview("Old Cam", "/dev/video4"));
  EXPECT_FALSE(widget.StartPreview("Nobody", "/dev/video9"));
  EXPECT_FALSE(widget.StartPreview("Busy Cam", "/dev/video5"));
  EXPECT_EQ(widget.size(), QSize(100, 80));
  EXPECT_EQ(widget.DeviceId(), "");
}

TEST_F(VideoPreviewerWidgetTest, BordersResizeAndTheInsideMoves) {
  ResizeWidget widget;
  widget.resize(360, 202);
  EXPECT_EQ(widget.HitTest({2, 2}), Zone::TopLeft);
  EXPECT_EQ(widget.HitTest({357, 3}), Zone::TopRight);
  EXPECT_EQ(widget.HitTest({0, 200}), Zone::BottomLeft);
  EXPECT_EQ(widget.HitTest({355, 197}), Zone::BottomRight);
  EXPECT_EQ(widget.HitTest({4, 100}), Zone::Left);
  EXPECT_EQ(widget.HitTest({356, 100}), Zone::Right);
  EXPECT_EQ(widget.HitTest({100, 4}), Zone::Top);
  EXPECT_EQ(widget.HitTest({100, 198}), Zone::Bottom);
  EXPECT_EQ(widget.HitTest({5, 5}), Zone::None);
  EXPECT_EQ(widget.HitTest({354, 196}), Zone::None);

  // With the real pointer: a resize cursor on the borders, and, with no
  // window manager to do it, a drag there resizes; inside it moves.
  widget.setGeometry(300, 300, 360, 202);
  widget.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
  const struct {
    QPoint at;  // in the widget
    Qt::CursorShape cursor;
    QPoint drag;
    QRect after;
  } cases[] = {
      {{358, 100}, Qt::SizeHorCursor, {40, 0}, {300, 300, 400, 202}},
      {{1, 1}, Qt::SizeFDiagCursor, {-20, -10}, {280, 290, 420, 212}},
      {{418, 2}, Qt::SizeBDiagCursor, {-410, 0}, {280, 290, 15, 212}},  // no smaller than the borders
      {{7, 210}, Qt::SizeVerCursor, {5, 30}, {280, 290, 15, 242}},
      {{7, 100}, Qt::ArrowCursor, {10, 20}, {290, 310, 15, 242}},
  };
  auto xdotool = [](const QPoint& p, const char* button) {
    QStringList args{"mousemove", QString::number(p.x()), QString::number(p.y())};
    if (button) args << button << "1";
    return QProcess::execute("xdotool", args) == 0;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.at.x() << "," << c.at.y());
    const QPoint from = widget.mapToGlobal(c.at);
    ASSERT_TRUE(xdotool(from, nullptr));
    EXPECT_TRUE(QTest::qWaitFor([&] { return widget.cursor().shape() == c.cursor; }, 2000));
    ASSERT_TRUE(xdotool(from, "mousedown"));
    ASSERT_TRUE(xdotool(from + c.drag, "mouseup"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return widget.geometry() == c.after; }, 2000));
    EXPECT_EQ(widget.geometry(), c.after);
  }
}

}  // namespace

// The drag that resizes by hand is the one a display without a window
// manager needs: a bare display of its own.
int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
