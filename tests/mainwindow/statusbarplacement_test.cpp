// Where the floating status bar goes while recording, on a display of its
// own split into two monitors: outside what is recorded wherever there is
// room.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdlib>

#include "guitestenv.h"
#include "mainwindow/diskspace.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/recordstatusbar.h"
#include "platform/backend.h"
#include "settings.h"
#include "settingsdialog/monitorpreviewdialog.h"
#include "settingsdialog/regionrecorddialog.h"

namespace {

bool Shell(const char* command) { return std::system(command) == 0; }

const QRect kLeft(0, 0, 960, 1080);
const QRect kRight(960, 0, 960, 1080);

class StatusBarPlacementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay() || !testsupport::HavePulse())
      GTEST_SKIP() << "needs the test display and sound server";
    platform::Backend::Use(platform::BackendKind::X11);
    guitest::App();
    ASSERT_TRUE(Shell("xrandr --setmonitor '*LEFT' 960/254x1080/286+0+0 screen >/dev/null") &&
                Shell("xrandr --setmonitor RIGHT 960/254x1080/286+960+0 none >/dev/null"));
    ASSERT_TRUE(Settings::Instance()->Init());
    Settings* settings = Settings::Instance();
    settings->SetGeneralFilesaveurl(QString::fromStdString(m_dir.path()));
    settings->SetRecordRecordaudio(3);
    settings->SetRecordRecordresolution(0);
    settings->SetRecordVideoframerate(15);
    settings->SetGeneralRecordStatusBar(true);
    settings->SetGeneralHideWhenRecord(false);
    SetFreeDiskBytesSource(nullptr);
    // Answers the pickers the start shows: the chosen monitor, then the
    // stored region as it is.
    QObject::connect(&m_pickers, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* monitors = qobject_cast<MonitorPreviewDialog*>(modal)) {
        monitors->findChild<QListWidget*>("listWidget")->setCurrentRow(m_monitorRow);
        monitors->findChild<QPushButton*>("pushButton")->click();
      } else if (auto* region = qobject_cast<RegionRecordDialog*>(modal)) {
        for (QPushButton* b : region->findChildren<QPushButton*>())
          if (b->text() == QStringLiteral("确定")) b->click();
      }
    });
    m_pickers.start(50);
  }
  void TearDown() override {
    Shell("xrandr --delmonitor LEFT >/dev/null 2>&1");
    Shell("xrandr --delmonitor RIGHT >/dev/null 2>&1");
  }

  // Starts a recording of the given mode on monitor row (0 LEFT, 1 RIGHT)
  // and returns where the status bar stands.
  QRect RecordAndPlaceBar(MainWindow& window, int mode, int row) {
    auto* modes = window.findChild<QComboBox*>("comboBox_mode");
    modes->setCurrentIndex(modes->findData(mode));
    m_monitorRow = row;
    window.on_pushButton_clicked();
    EXPECT_TRUE(window.IsRecording());
    RecordStatusBar* bar = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* b = qobject_cast<RecordStatusBar*>(w)) bar = b;
    EXPECT_TRUE(bar && bar->isVisible());
    const QRect place = bar ? bar->geometry() : QRect();
    QTest::qWait(500);
    window.on_pushButton_stop_clicked();
    EXPECT_FALSE(window.IsRecording());
    return place;
  }

  testsupport::TempDir m_dir;
  QTimer m_pickers;
  int m_monitorRow = 0;
};

TEST_F(StatusBarPlacementTest, WholeMonitorPutsTheBarOnTheOther) {
  MainWindow window;
  window.show();
  EXPECT_TRUE(kRight.contains(RecordAndPlaceBar(window, 0, 0)));
  EXPECT_TRUE(kLeft.contains(RecordAndPlaceBar(window, 0, 1)));
}

TEST_F(StatusBarPlacementTest, RegionPutsTheBarBesideIt) {
  MainWindow window;
  window.show();
  // Over the usual place at the bottom right of the left monitor.
  const QRect region(560, 780, 400, 300);
  Settings::Instance()->SetRecordRegionRect(region);
  const QRect bar = RecordAndPlaceBar(window, 1, 0);
  EXPECT_TRUE(kLeft.contains(bar));
  EXPECT_FALSE(bar.intersects(region));

  // A region on the right half leaves the usual place on the left free.
  Settings::Instance()->SetRecordRegionRect(QRect(1000, 100, 400, 300));
  EXPECT_EQ(RecordAndPlaceBar(window, 1, 0).topLeft(), QPoint(960 - 232, 1080 - 100));
}

}  // namespace

// The monitor layout stays on a display of this program's own.
int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
