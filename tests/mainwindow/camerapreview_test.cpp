#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <cstdlib>

#include "../camera/camerafixtures.h"
#include "camera/videopreviewerwidget.h"
#include "guitestenv.h"
#include "mainwindow/diskspace.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/recordstatusbar.h"
#include "platform/backend.h"
#include "settings.h"

using platform::CameraPixelFormat;
using platform::fake::FakeCamera;
using platform::fake::FakeCameras;

namespace {

template <typename T>
T* TopLevel() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* window = qobject_cast<T*>(w)) return window;
  return nullptr;
}

VideoPreviewerWidget* CameraWindow() { return TopLevel<VideoPreviewerWidget>(); }

class CameraPreviewRecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay() || !testsupport::HavePulse())
      GTEST_SKIP() << "needs the test display and sound server";
    platform::Backend::Use(platform::BackendKind::X11);
    platform::UseFakeCameras(true);
    guitest::App();
    FakeCamera cam;
    cam.device = {"/dev/video5", "Desk Cam"};
    cam.formats = {camtest::Format(CameraPixelFormat::MJPEG, 640, 360)};
    cam.samples[0] = {camtest::ToMjpeg(camtest::TestPicture(640, 360))};
    FakeCameras::Instance().SetCameras({cam});
    ASSERT_TRUE(Settings::Instance()->Init());
    Settings* settings = Settings::Instance();
    settings->SetGeneralFilesaveurl(QString::fromStdString(m_dir.path()));
    settings->SetRecordRecordtype(RecordMode::Monitor);
    settings->SetRecordRecordaudio(0);
    settings->SetRecordRecordresolution(3);
    settings->SetRecordVideoframerate(15);
    settings->SetGeneralRecordStatusBar(true);
    settings->SetGeneralHideWhenRecord(false);
    settings->SetRecordCameraSwitch(true);
    settings->SetRecordCamera("/dev/video5", "Desk Cam");
    SetFreeDiskBytesSource(nullptr);
  }
  void TearDown() override {
    Settings::Instance()->SetRecordCameraSwitch(false);
    FakeCameras::Instance().Reset();
    platform::UseFakeCameras(false);
  }
  testsupport::TempDir m_dir;
};

// The program runs at twice the device pixels (main below): the offsets
// from the bottom of the screen are device pixels.
TEST_F(CameraPreviewRecordingTest, TheCameraFloatsOverTheScreenWhileRecording) {
  MainWindow window;
  window.show();
  auto* start = window.findChild<QPushButton*>("pushButton");
  auto* stop = window.findChild<QPushButton*>("pushButton_stop");
  ASSERT_TRUE(start && stop);
  EXPECT_EQ(window.GetRecordingCameraId(), "");

  QTest::mouseClick(start, Qt::LeftButton);
  ASSERT_TRUE(window.IsRecording());
  VideoPreviewerWidget* preview = CameraWindow();
  ASSERT_NE(preview, nullptr);
  EXPECT_TRUE(preview->isVisible());
  EXPECT_EQ(preview->size(), QSize(360, 202));
  EXPECT_EQ(window.GetRecordingCameraId(), "/dev/video5");
  const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
  ASSERT_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
  EXPECT_EQ(preview->x(), work.right() + 1 - preview->width());
  EXPECT_EQ(preview->y(), work.bottom() + 1 - 400 / 2);
  // With one monitor there is no room outside the recording for the bar.
  RecordStatusBar* bar = TopLevel<RecordStatusBar>();
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->pos(), QPoint(work.right() + 1 - bar->width(), work.bottom() + 1 - 100 / 2));

  QImage shot;
  for (int i = 0; i < 100; ++i) {
    QTest::qWait(30);
    shot = QGuiApplication::primaryScreen()->grabWindow(0, preview->x(), preview->y(), 360, 202).toImage();
    if (camtest::Near(shot.pixelColor(shot.width() / 4, shot.height() / 2), QColor(255, 0, 0))) break;
  }
  EXPECT_TRUE(camtest::Near(shot.pixelColor(shot.width() / 4, shot.height() / 2), QColor(255, 0, 0)));
  EXPECT_TRUE(camtest::Near(shot.pixelColor(shot.width() * 3 / 4, shot.height() / 2), QColor(0, 0, 255)));
  QTest::qWait(500);

  // Switched off while it runs, the camera still goes with the stop.
  Settings::Instance()->SetRecordCameraSwitch(false);
  QTest::mouseClick(stop, Qt::LeftButton);
  EXPECT_FALSE(window.IsRecording());
  EXPECT_FALSE(preview->isVisible());
  EXPECT_EQ(preview->DeviceId(), "");
  EXPECT_EQ(window.GetRecordingCameraId(), "");
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);
}

TEST_F(CameraPreviewRecordingTest, AMissingCameraShowsNoWindow) {
  Settings::Instance()->SetRecordCamera("/dev/video9", "Gone Cam");
  MainWindow window;
  window.show();
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  ASSERT_TRUE(window.IsRecording());
  VideoPreviewerWidget* preview = CameraWindow();
  EXPECT_TRUE(!preview || !preview->isVisible());
  EXPECT_EQ(window.GetRecordingCameraId(), "");
  QTest::qWait(300);
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton_stop"), Qt::LeftButton);
  EXPECT_FALSE(window.IsRecording());
}

}  // namespace

// On a display of its own, at a scale other than 1.
int main(int argc, char** argv) {
  setenv("QT_SCALE_FACTOR", "2", 1);
  return testsupport::RunTestsOnOwnDisplay(argc, argv);
}
