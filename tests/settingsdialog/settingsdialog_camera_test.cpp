#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListView>

#include <chrono>
#include <thread>

#include "../camera/camerafixtures.h"
#include "camera/videodevices.h"
#include "dialogtestenv.h"
#include "settingsdialog/settingsdialog.h"

using platform::CameraPixelFormat;
using platform::fake::FakeCamera;
using platform::fake::FakeCameras;

namespace {

class SettingsDialogCameraTest : public dialogtest::DialogTest {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    DialogTest::SetUp();
    if (IsSkipped()) return;
    platform::UseFakeCameras(true);
    FakeCamera front;
    front.device = {"/dev/video0", "Front Cam"};
    front.formats = {camtest::Format(CameraPixelFormat::YUY2, 1920, 1080),
                     camtest::Format(CameraPixelFormat::MJPEG, 1280, 720)};
    front.samples[1] = {camtest::ToMjpeg(camtest::TestPicture(1280, 720))};
    FakeCamera old;
    old.device = {"/dev/video1", "Old Cam"};
    old.formats = {camtest::Format(CameraPixelFormat::YUY2, 640, 480)};
    FakeCameras::Instance().SetCameras({front, old});
  }
  void TearDown() override {
    FakeCameras::Instance().Reset();
    platform::UseFakeCameras(false);
  }

  static void ShowRow(SettingsDialog& dialog, int row) {
    auto* list = Child<QListView>(&dialog, "listView");
    const QRect r = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
  }

  static QImage WaitForPicture(QWidget* area) {
    QImage shot;
    for (int i = 0; i < 200; ++i) {
      QTest::qWait(15);
      shot = area->grab().toImage();
      if (camtest::Near(shot.pixelColor(shot.width() / 4, shot.height() / 2), QColor(255, 0, 0))) break;
    }
    return shot;
  }
};

TEST_F(SettingsDialogCameraTest, VideoPageListsCamerasAndPreviewsTheChosenOne) {
  settings()->SetRecordCameraSwitch(true);
  settings()->SetRecordCamera("/dev/video0", "Front Cam");
  SettingsDialog dialog(nullptr);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  auto* combo = Child<QComboBox>(&dialog, "comboBox_9");
  auto* area = Child<QLabel>(&dialog, "label_video_area");
  ASSERT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->currentText(), "Front Cam");
  EXPECT_EQ(combo->itemData(1).value<DeviceInfo>().id, "/dev/video1");
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);  // nothing runs before the page shows

  ShowRow(dialog, 3);
  EXPECT_EQ(area->height(), 248);  // 441 wide at 16:9
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 1);
  const QImage shot = WaitForPicture(area);
  EXPECT_TRUE(camtest::Near(shot.pixelColor(shot.width() / 4, shot.height() / 2), QColor(255, 0, 0)));
  EXPECT_TRUE(camtest::Near(shot.pixelColor(shot.width() * 3 / 4, shot.height() / 2), QColor(0, 0, 255)));
  guitest::SaveScreenshot(&dialog, "settings_camera_page");

  // Another page stops the preview.
  ShowRow(dialog, 0);
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);

  // A camera without a usable format is stored but not previewed.
  ShowRow(dialog, 3);
  QTest::keyClick(combo, Qt::Key_Down);
  QString id, name;
  settings()->GetRecordCamera(id, name);
  EXPECT_EQ(id, "/dev/video1");
  EXPECT_EQ(name, "Old Cam");
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);
}

// Filling the list stores nothing over a stored camera: an unplugged one
// stays the chosen one, shown as absent, until the user picks another. And
// no camera runs for a page that is not shown, nor twice for one tick.
TEST_F(SettingsDialogCameraTest, TickingTheSwitchFillsTheListAndPreviewsOnceButStoresNothing) {
  settings()->SetRecordCameraSwitch(false);
  settings()->SetRecordCamera("/dev/video9", "Gone Cam");
  SettingsDialog dialog(nullptr);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  auto* combo = Child<QComboBox>(&dialog, "comboBox_9");
  EXPECT_EQ(combo->count(), 0);
  ShowRow(dialog, 3);
  QTest::mouseClick(Child<QCheckBox>(&dialog, "checkBox_7"), Qt::LeftButton);
  EXPECT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->currentIndex(), -1);
  EXPECT_EQ(combo->placeholderText(), QStringLiteral("Gone Cam（未连接）"));
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);
  ShowRow(dialog, 0);
  ShowRow(dialog, 3);
  QString id, name;
  settings()->GetRecordCamera(id, name);
  EXPECT_EQ(id, "/dev/video9");
  EXPECT_EQ(name, "Gone Cam");

  // With nothing stored, the camera shown is the one recorded; opening the
  // dialog on another page starts nothing.
  settings()->SetRecordCamera("", "");
  settings()->SetRecordCameraSwitch(true);
  {
    SettingsDialog opened(nullptr);
    opened.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&opened));
    EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);
  }
  settings()->SetRecordCamera("", "");
  settings()->SetRecordCameraSwitch(false);
  SettingsDialog fresh(nullptr);
  fresh.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&fresh));
  ShowRow(fresh, 3);
  const int started = FakeCameras::Instance().StartedStreams();
  QTest::mouseClick(Child<QCheckBox>(&fresh, "checkBox_7"), Qt::LeftButton);
  EXPECT_EQ(FakeCameras::Instance().StartedStreams() - started, 1);
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 1);
  settings()->GetRecordCamera(id, name);
  EXPECT_EQ(id, "/dev/video0");
  EXPECT_EQ(name, "Front Cam");
}

TEST_F(SettingsDialogCameraTest, ACameraStoredByItsOldDeviceNodeStaysTheChosenOne) {
  FakeCamera front, back;
  front.device = {"/dev/v4l/by-id/usb-Front-video-index0", "Front Cam", "/dev/video0"};
  back.device = {"/dev/v4l/by-id/usb-Back-video-index0", "Back Cam", "/dev/video1"};
  FakeCameras::Instance().SetCameras({front, back});
  settings()->SetRecordCameraSwitch(true);
  settings()->SetRecordCamera("/dev/video1", "Back Cam");
  SettingsDialog dialog(nullptr);
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_9")->currentText(), "Back Cam");
}

}  // namespace
