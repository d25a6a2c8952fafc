#include <gtest/gtest.h>

#include <QComboBox>
#include <QCursor>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>

#include <memory>

#include "guitestenv.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/recordstatusbar.h"
#include "platform/fake/fake_session.h"
#include "platform/fake/fake_windows.h"
#include "settings.h"

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    guitest::App();
    ASSERT_TRUE(Settings::Instance()->Init());
  }

  template <typename T>
  T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }

  static QImage IconImage(const QIcon& icon) { return icon.pixmap(24, 24).toImage(); }
};

TEST_F(MainWindowTest, CombosFollowTheStoredChoicesAndWriteChanges) {
  Settings* settings = Settings::Instance();
  settings->SetRecordRecordtype(RecordMode::Window);  // window mode, but no capture library is loaded here
  settings->SetRecordRecordaudio(2);
  settings->SetRecordRecordresolution(4);
  MainWindow window;

  auto* mode = Child<QComboBox>(&window, "comboBox_mode");
  ASSERT_EQ(mode->count(), Settings::IsGlanceSupported() ? 3 : 2);
  EXPECT_EQ(mode->itemText(0), QStringLiteral("全屏"));
  EXPECT_EQ(mode->itemText(1), QStringLiteral("区域"));
  if (!Settings::IsGlanceSupported()) {
    EXPECT_EQ(mode->currentIndex(), 0);
    EXPECT_EQ(settings->GetRecordRecordtype(), RecordMode::Window);  // nothing written back
  }

  auto* audio = Child<QComboBox>(&window, "comboBox_audio");
  EXPECT_EQ(audio->currentText(), QStringLiteral("麦和系统声音"));
  EXPECT_EQ(audio->count(), 4);

  auto* resolution = Child<QComboBox>(&window, "comboBox_img");
  EXPECT_EQ(resolution->currentIndex(), 1);
  EXPECT_EQ(resolution->currentText(), QStringLiteral("4K 4096P"));

  resolution->setCurrentIndex(2);  // "超清 1080P"
  EXPECT_EQ(settings->GetRecordRecordresolution(), 1u);
  mode->setCurrentIndex(1);
  EXPECT_EQ(settings->GetRecordRecordtype(), RecordMode::Region);
  audio->setCurrentIndex(3);
  EXPECT_EQ(settings->GetRecordRecordaudio(), 3u);
}

TEST_F(MainWindowTest, FormSidebarAndTitleBar) {
  MainWindow window;
  EXPECT_EQ(window.size(), QSize(755, 595));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Korvo录屏"));
  EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));

  QLabel* title = Child<QLabel>(&window, "TitleContent");
  EXPECT_EQ(title->text(), QStringLiteral("Korvo录屏"));
  QWidget* bar = title->parentWidget();
  EXPECT_EQ(bar->width(), 755);
  EXPECT_EQ(bar->pos(), QPoint(0, 0));
  EXPECT_TRUE(Child<QPushButton>(&window, "ButtonMax")->isHidden());
  EXPECT_FALSE(Child<QPushButton>(&window, "Settings")->isHidden());

  EXPECT_FALSE(Child<QPushButton>(&window, "pushButton_stop")->isEnabled());
  EXPECT_EQ(Child<QLabel>(&window, "label_duration")->text(), "00:00:00");

  auto* sidebar = Child<QListWidget>(&window, "listWidget_sidebar");
  auto* stack = Child<QStackedWidget>(&window, "stackedWidget");
  ASSERT_EQ(sidebar->count(), 2);
  EXPECT_EQ(sidebar->item(0)->text(), QStringLiteral("录制"));
  EXPECT_EQ(sidebar->item(1)->text(), QStringLiteral("列表"));
  EXPECT_EQ(sidebar->item(1)->data(Qt::UserRole + 2).toString(),
            ":/category_videolist_selected.png");
  EXPECT_EQ(sidebar->currentRow(), 0);
  EXPECT_EQ(stack->currentIndex(), 0);
  sidebar->setCurrentRow(1);
  EXPECT_EQ(stack->currentIndex(), 1);
  sidebar->setCurrentRow(0);
  EXPECT_EQ(stack->currentIndex(), 0);

  // The combo style reached the option combos.
  EXPECT_TRUE(Child<QComboBox>(&window, "comboBox_img")->styleSheet().contains("QComboBox"));
}

TEST_F(MainWindowTest, MinimiseAndDragFromTheTitleBar) {
  MainWindow window;
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QWidget* bar = Child<QLabel>(&window, "TitleContent")->parentWidget();
  const QPoint start = window.pos();
  const QPoint grab = bar->mapToGlobal(QPoint(200, 30));
  QMouseEvent press(QEvent::MouseButtonPress, QPoint(200, 30), grab, Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(bar, &press);
  QMouseEvent move(QEvent::MouseMove, QPoint(250, 50), grab + QPoint(50, 20), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(bar, &move);
  EXPECT_EQ(window.pos(), start + QPoint(50, 20));

  QTest::mouseClick(Child<QPushButton>(&window, "ButtonMin"), Qt::LeftButton);
  QTRY_VERIFY(window.isMinimized());
}

TEST_F(MainWindowTest, NothingFromOutsideReachesTheWindowOnceItIsGone) {
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& session = platform::fake::FakeSession::Instance();
  auto& windows = platform::fake::FakeWindows::Instance();
  {
    MainWindow window;
    EXPECT_TRUE(session.Watched());
    EXPECT_TRUE(windows.HasMessageHandler());
  }
  EXPECT_FALSE(session.Watched());
  EXPECT_FALSE(windows.HasMessageHandler());
  platform::Backend::Use(platform::BackendKind::X11);
}

TEST_F(MainWindowTest, DurationText) {
  EXPECT_EQ(MainWindow::FormatDuration(0), "00:00:00");
  EXPECT_EQ(MainWindow::FormatDuration(3725), "01:02:05");
  EXPECT_EQ(MainWindow::FormatDuration(360000), "100:00:00");
}

TEST_F(MainWindowTest, StatusBarShowsTimeAndState) {
  RecordStatusBar bar(nullptr);
  EXPECT_EQ(bar.size(), QSize(232, 54));
  EXPECT_TRUE(bar.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(bar.windowFlags().testFlag(Qt::FramelessWindowHint));
  bar.SetTimeText("00:01:05");
  EXPECT_EQ(Child<QLabel>(&bar, "label_2")->text(), "00:01:05");

  auto* playPause = Child<QPushButton>(&bar, "pushButton_2");
  const QImage pause = IconImage(QIcon(":/pause-noborder.png"));
  const QImage play = IconImage(QIcon(":/play-noborder.png"));
  ASSERT_NE(pause, play);
  EXPECT_EQ(IconImage(playPause->icon()), pause);
  bar.SetRecordState(2);
  EXPECT_EQ(IconImage(playPause->icon()), play);
  bar.SetRecordState(1);
  EXPECT_EQ(IconImage(playPause->icon()), play);
  bar.SetRecordState(0);
  EXPECT_EQ(IconImage(playPause->icon()), pause);
}

TEST_F(MainWindowTest, StatusBarStopClosesItAndDragMovesIt) {
  MainWindow window;
  RecordStatusBar bar(&window);
  bar.move(300, 300);
  bar.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
  // A window manager reports the framed window's place a moment later.
  QTRY_COMPARE(bar.pos(), QPoint(300, 300));

  // A move without a press leaves it where it is.
  QCursor::setPos(bar.mapToGlobal(QPoint(150, 25)));
  QTRY_COMPARE(QCursor::pos(), bar.mapToGlobal(QPoint(150, 25)));
  QMouseEvent move(QEvent::MouseMove, QPoint(150, 25), QCursor::pos(), Qt::NoButton,
                   Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(&bar, &move);
  EXPECT_EQ(bar.pos(), QPoint(300, 300));

  QMouseEvent press(QEvent::MouseButtonPress, QPoint(150, 25), QCursor::pos(), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&bar, &press);
  const QPoint target = QCursor::pos() + QPoint(-120, 80);
  QCursor::setPos(target);
  QTRY_COMPARE(QCursor::pos(), target);
  QMouseEvent drag(QEvent::MouseMove, QPoint(30, 105), target, Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(&bar, &drag);
  EXPECT_EQ(bar.pos(), QPoint(180, 380));
  QMouseEvent release(QEvent::MouseButtonRelease, QPoint(30, 105), target, Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(&bar, &release);

  QTest::mouseClick(Child<QPushButton>(&bar, "pushButton_3"), Qt::LeftButton);
  EXPECT_FALSE(bar.isVisible());
}

TEST_F(MainWindowTest, Screenshots) {
  MainWindow window;
  window.move(100, 100);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::qWait(50);
  EXPECT_TRUE(guitest::SaveScreenshot(&window, "mainwindow_record"));
  Child<QListWidget>(&window, "listWidget_sidebar")->setCurrentRow(1);
  EXPECT_TRUE(guitest::SaveScreenshot(&window, "mainwindow_list"));

  RecordStatusBar bar(&window);
  bar.SetTimeText("00:01:05");
  bar.move(1000, 100);
  bar.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
  EXPECT_TRUE(guitest::SaveScreenshot(&bar, "statusbar"));
}

}  // namespace
