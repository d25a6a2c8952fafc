// A region recording at a display scale of 2: the picker covers the screen,
// and the file holds the rectangle the user framed, in device pixels.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdlib>

#include "../mainwindow/guitestenv.h"
#include "mainwindow/mainwindow.h"
#include "settings.h"
#include "settingsdialog/regionrecorddialog.h"
#include "support/mediaprobe.h"

namespace {

TEST(RegionAtScaleTwo, RecordsTheFramedRectangleInDevicePixels) {
  if (!testsupport::HaveDisplay() || !testsupport::HavePulse())
    GTEST_SKIP() << "needs the test display and sound server";
  platform::Backend::Use(platform::BackendKind::X11);
  guitest::App();
  ASSERT_EQ(qApp->devicePixelRatio(), 2.0);
  testsupport::TempDir dir;
  Settings* settings = Settings::Instance();
  ASSERT_TRUE(settings->Init());
  settings->SetGeneralFilesaveurl(QString::fromStdString(dir.path()));
  settings->SetRecordRecordtype(RecordMode::Region);        // region
  settings->SetRecordRecordresolution(0);  // the region's own size
  settings->SetRecordVideoframerate(15);
  settings->SetGeneralRecordStatusBar(false);
  settings->SetGeneralHideWhenRecord(false);
  // 303 x 201 (logical) between its edges: evened to 302 x 200. 604 device
  // pixels wide is no multiple of 16, as converters' blocks are.
  settings->SetRecordRegionRect(QRect(QPoint(100, 60), QPoint(403, 261)));

  MainWindow window;
  window.show();
  QRect pickerGeometry;
  QStringList messages;
  QTimer answer;
  answer.setInterval(50);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* picker = qobject_cast<RegionRecordDialog*>(modal)) {
      if (!QTest::qWaitForWindowExposed(picker)) return;
      pickerGeometry = picker->geometry();
      for (QPushButton* b : picker->findChildren<QPushButton*>())
        if (b->text() == QStringLiteral("确定")) QTest::mouseClick(b, Qt::LeftButton);
    } else if (modal) {
      for (QLabel* label : modal->findChildren<QLabel*>()) messages << label->text();
      modal->close();
    }
  });
  answer.start();
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  ASSERT_TRUE(window.IsRecording()) << messages.join(" ").toStdString();
  EXPECT_EQ(pickerGeometry, QRect(0, 0, 960, 540));
  QTest::qWait(1500);
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton_stop"), Qt::LeftButton);
  answer.stop();

  const QStringList files = QDir(QString::fromStdString(dir.path())).entryList({"*.mp4"});
  ASSERT_EQ(files.size(), 1);
  bool red = false;
  const auto probe = testsupport::ProbeMedia(
      dir.path() + "/" + files.front().toStdString(),
      [&red](const uint8_t* bgra, int width, int height, double) {
        for (int i = 0; i < width * height; ++i)
          red = red || (bgra[4 * i + 2] > 200 && bgra[4 * i + 1] < 60 && bgra[4 * i] < 60);
      });
  ASSERT_NE(probe.Video(), nullptr);
  // What the picker outlined, twice the logical size; the frame lies outside.
  EXPECT_EQ(probe.Video()->width, 2 * 302);
  EXPECT_EQ(probe.Video()->height, 2 * 200);
  EXPECT_FALSE(red) << "the region frame is in the recording";
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_SCALE_FACTOR", "2", 1);
  return testsupport::RunTestsOnOwnDisplay(argc, argv);
}
