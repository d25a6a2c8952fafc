// Monitor list and monitor picker on a display of their own: the test splits
// it into two monitors, which must not disturb tests running beside it.
#include <gtest/gtest.h>

#include "support/testsupport.h"

#include <QApplication>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "../mainwindow/guitestenv.h"
#include "platform/fake/fake_monitors.h"
#include "platform/monitors.h"
#include "recorder/videocapture/windowcapturerinterface.h"
#include "settingsdialog/monitorlist.h"
#include "settingsdialog/monitorpreviewdialog.h"

namespace {

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

// Splits the display into a primary left half "LEFT" and a right half
// "RIGHT" while alive. The monitors last as long as the display has clients
// (this process is one).
class TwoMonitors {
 public:
  TwoMonitors() {
    ok = Run("xrandr --setmonitor '*LEFT' 960/254x1080/286+0+0 screen >/dev/null") &&
         Run("xrandr --setmonitor RIGHT 960/254x1080/286+960+0 none >/dev/null");
  }
  ~TwoMonitors() {
    Run("xrandr --delmonitor LEFT >/dev/null 2>&1");
    Run("xrandr --delmonitor RIGHT >/dev/null 2>&1");
  }
  bool ok = false;
};

// A borderless window filling a rectangle of the screen with one colour.
class ColourWindow : public QWidget {
 public:
  ColourWindow(const QRect& rect, QColor colour) : m_colour(colour) {
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setGeometry(rect);
    show();
    QTest::qWaitForWindowExposed(this);
    QApplication::processEvents();
  }
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), m_colour); }

 private:
  QColor m_colour;
};

// Capture source stand-in: solid images of a chosen size, or failures.
class ScriptedCapturer : public WindowCapturerInterface {
 public:
  explicit ScriptedCapturer(platform::MonitorId failing) : m_failing(failing) {}
  bool IsSupported(platform::MonitorId) override { return true; }
  bool Init(const CaptureParams&) override { return true; }
  int Start() override { return 0; }
  bool Stop() override { return true; }
  bool Snapshot(platform::MonitorId target, uint8_t** data, int* width, int* height) override {
    if (target == m_failing || m_failing == kAll) return false;
    *width = 320;
    *height = 180;
    *data = new uint8_t[320 * 180 * 4];
    std::memset(*data, 0x80, 320 * 180 * 4);
    return true;
  }
  static constexpr platform::MonitorId kAll = ~platform::MonitorId(0);

 private:
  platform::MonitorId m_failing;
};

class MonitorPickerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs a display";
    platform::Backend::Use(platform::BackendKind::X11);
    guitest::App();
  }
  void TearDown() override { MonitorPreviewDialog::SetCapturerFactory(nullptr); }

  // While the dialog runs modally: look at it, then act on it.
  void WhenShown(std::function<void(MonitorPreviewDialog*)> action) {
    QTimer::singleShot(0, [action] {
      auto* dialog = qobject_cast<MonitorPreviewDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
      action(dialog);
    });
  }

  static QListWidget* List(QWidget* dialog) { return dialog->findChild<QListWidget*>("listWidget"); }
  static void Click(QWidget* dialog, const char* name) {
    QTest::mouseClick(dialog->findChild<QPushButton*>(name), Qt::LeftButton);
  }
  // Colour at the middle of an item's icon.
  static QColor IconCentre(QListWidgetItem* item, QSize size) {
    const QImage image = item->icon().pixmap(size).toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
  }
};

TEST_F(MonitorPickerTest, SingleScreenIsOnePrimaryMonitorAtTheOrigin) {
  const std::vector<MonitorItem> monitors = GetMonitors();
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_TRUE(monitors[0].isPrimary);
  EXPECT_EQ(monitors[0].rect, (platform::Rect{0, 0, 1920, 1080}));
  EXPECT_FALSE(monitors[0].deviceName.empty());
  EXPECT_NE(monitors[0].monitor, 0u);
  EXPECT_EQ(GetMonitors(), monitors);
}

TEST_F(MonitorPickerTest, SplitScreenListsBothMonitorsInOrder) {
  TwoMonitors split;
  ASSERT_TRUE(split.ok);
  const std::vector<MonitorItem> monitors = GetMonitors();
  ASSERT_EQ(monitors.size(), 2u);
  EXPECT_EQ(monitors[0].deviceName, L"LEFT");
  EXPECT_EQ(monitors[0].rect, (platform::Rect{0, 0, 960, 1080}));
  EXPECT_TRUE(monitors[0].isPrimary);
  EXPECT_EQ(monitors[1].deviceName, L"RIGHT");
  EXPECT_EQ(monitors[1].rect, (platform::Rect{960, 0, 1920, 1080}));
  EXPECT_FALSE(monitors[1].isPrimary);
  EXPECT_NE(monitors[0].monitor, monitors[1].monitor);
  EXPECT_EQ(GetMonitors(), monitors);
}

TEST_F(MonitorPickerTest, ThumbnailsShowEachMonitorAndTheUserPicksOne) {
  TwoMonitors split;
  ASSERT_TRUE(split.ok);
  ColourWindow left(QRect(0, 0, 960, 1080), QColor(200, 30, 30));
  ColourWindow right(QRect(960, 0, 960, 1080), QColor(30, 30, 200));
  // The screen duplication source gives the still images here.
  MonitorPreviewDialog::SetCapturerFactory([](int) { return CreateCapturer(0); });
  const std::vector<MonitorItem> monitors = GetMonitors();
  ASSERT_EQ(monitors.size(), 2u);

  struct {
    int count = 0;
    QStringList names;
    QSize iconSize;
    QColor first, second;
    int currentRow = -1;
    QString title;
  } seen;
  {
    MonitorPreviewDialog dialog;
    WhenShown([&seen](MonitorPreviewDialog* d) {
      QListWidget* list = List(d);
      seen.count = list->count();
      for (int i = 0; i < list->count(); ++i) seen.names << list->item(i)->text();
      seen.iconSize = list->iconSize();
      seen.currentRow = list->currentRow();
      seen.title = d->windowTitle();
      if (list->count() == 2) {
        seen.first = IconCentre(list->item(0), list->iconSize());
        seen.second = IconCentre(list->item(1), list->iconSize());
      }
      guitest::SaveScreenshot(d, "monitorpreviewdialog");
      Click(d, "pushButton");
    });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.SelectedMonitor(), monitors[0].monitor);
  }
  EXPECT_EQ(seen.count, 2);
  EXPECT_EQ(seen.names, (QStringList{"LEFT", "RIGHT"}));
  EXPECT_EQ(seen.currentRow, 0);
  EXPECT_EQ(seen.title, QStringLiteral("请选择屏幕"));
  EXPECT_EQ(seen.iconSize, QSize(80, 90));  // 960x1080 scaled to height 90
  EXPECT_GT(seen.first.red(), 150);
  EXPECT_LT(seen.first.blue(), 80);
  EXPECT_GT(seen.second.blue(), 150);
  EXPECT_LT(seen.second.red(), 80);

  MonitorPreviewDialog second;
  WhenShown([](MonitorPreviewDialog* d) {
    QListWidget* list = List(d);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(1)).center());
    Click(d, "pushButton");
  });
  ASSERT_EQ(second.exec(), QDialog::Accepted);
  EXPECT_EQ(second.SelectedMonitor(), monitors[1].monitor);
}

TEST_F(MonitorPickerTest, CancelAndTitleBarCloseReject) {
  MonitorPreviewDialog dialog;
  WhenShown([](MonitorPreviewDialog* d) { Click(d, "pushButton_2"); });
  EXPECT_EQ(dialog.exec(), QDialog::Rejected);

  MonitorPreviewDialog closed;
  WhenShown([](MonitorPreviewDialog* d) {
    // The title bar's only visible button is its close button.
    QPushButton* close = nullptr;
    for (QPushButton* b : d->findChildren<QPushButton*>())
      if (b->isVisible() && b->objectName() != "pushButton" && b->objectName() != "pushButton_2")
        close = b;
    ASSERT_NE(close, nullptr);
    QTest::mouseClick(close, Qt::LeftButton);
  });
  EXPECT_EQ(closed.exec(), QDialog::Rejected);
}

TEST_F(MonitorPickerTest, FailedSnapshotsDropTheirMonitors) {
  TwoMonitors split;
  ASSERT_TRUE(split.ok);
  const std::vector<MonitorItem> monitors = GetMonitors();
  ASSERT_EQ(monitors.size(), 2u);

  const platform::MonitorId failing = monitors[0].monitor;
  MonitorPreviewDialog::SetCapturerFactory(
      [failing](int type) { return type == 2 ? new ScriptedCapturer(failing) : nullptr; });
  {
    MonitorPreviewDialog dialog;
    QListWidget* list = List(&dialog);
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), "RIGHT");
    EXPECT_EQ(list->iconSize(), QSize(160, 90));
    WhenShown([](MonitorPreviewDialog* d) { Click(d, "pushButton"); });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.SelectedMonitor(), monitors[1].monitor);
  }

  MonitorPreviewDialog::SetCapturerFactory(
      [](int) { return new ScriptedCapturer(ScriptedCapturer::kAll); });
  // Nothing to choose: OK stays off, only Cancel leaves.
  MonitorPreviewDialog empty;
  EXPECT_EQ(List(&empty)->count(), 0);
  WhenShown([](MonitorPreviewDialog* d) {
    EXPECT_FALSE(d->findChild<QPushButton*>("pushButton")->isEnabled());
    Click(d, "pushButton");
    EXPECT_TRUE(d->isVisible());
    Click(d, "pushButton_2");
  });
  ASSERT_EQ(empty.exec(), QDialog::Rejected);
  EXPECT_EQ(empty.SelectedMonitor(), 0u);
}

TEST_F(MonitorPickerTest, WithoutACaptureSourceMonitorsKeepTheirItems) {
  TwoMonitors split;
  ASSERT_TRUE(split.ok);
  MonitorPreviewDialog::SetCapturerFactory([](int) { return nullptr; });
  MonitorPreviewDialog dialog;
  QListWidget* list = List(&dialog);
  ASSERT_EQ(list->count(), 2);
  EXPECT_TRUE(list->item(0)->icon().pixmap(QSize(160, 90)).isNull());
  EXPECT_EQ(list->item(1)->text(), "RIGHT");
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  guitest::SaveScreenshot(&dialog, "monitorpreviewdialog_nothumbnails");
  // A value that is not a monitor handle selects nothing.
  list->item(0)->setData(MonitorPreviewDialog::kMonitorRole, QString("LEFT"));
  list->setCurrentRow(0);
  EXPECT_EQ(dialog.SelectedMonitor(), 0u);
  list->setCurrentRow(1);
  EXPECT_EQ(dialog.SelectedMonitor(), GetMonitors()[1].monitor);
}

TEST(MonitorItem, UnknownHandleHasNoNameAndIsNotPrimary) {
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& fake = platform::fake::FakeMonitors::Instance();
  fake.SetMonitors({{7, {-1280, 0, 0, 1024}, "HDMI-1", false}, {8, {0, 0, 1920, 1080}, "DP-1", true}});
  const std::vector<MonitorItem> monitors = GetMonitors();
  ASSERT_EQ(monitors.size(), 2u);
  EXPECT_EQ(monitors[0].rect.left, -1280);
  EXPECT_EQ(monitors[0].deviceName, L"HDMI-1");
  EXPECT_FALSE(monitors[0].isPrimary);
  EXPECT_TRUE(monitors[1].isPrimary);
  const MonitorItem unknown(42, platform::Rect{0, 0, 10, 10});
  EXPECT_TRUE(unknown.deviceName.empty());
  EXPECT_FALSE(unknown.isPrimary);
  fake.Reset();
  platform::Backend::Use(platform::BackendKind::X11);
}

}  // namespace

// Key presses and monitor changes stay on a display of this program's own.
int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
