#include <gtest/gtest.h>

#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "mainwindow/guitestenv.h"
#include "widgets/customtitlebar.h"

namespace {

class TitleBarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    guitest::App();
    windowHolder = std::make_unique<QWidget>();
    window().setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    window().resize(500, 300);
    window().move(200, 150);
    bar = new CustomTitleBar(&window());
    bar->move(0, 0);
    bar->setFixedWidth(window().width());
  }

  QPushButton* Button(const char* name) { return bar->findChild<QPushButton*>(name); }

  // Buttons that would be on screen, by object name.
  QStringList Shown() {
    QStringList names;
    for (const char* n : {"Settings", "ButtonHelp", "ButtonMin", "ButtonRestore", "ButtonMax",
                          "ButtonClose"})
      if (!Button(n)->isHidden()) names << n;
    return names;
  }

  void ShowWindow() {
    windowHolder->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(windowHolder.get()));
  }

  void Press(QPoint local) {
    QMouseEvent e(QEvent::MouseButtonPress, local, bar->mapToGlobal(local), Qt::LeftButton,
                  Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(bar, &e);
  }
  void MoveTo(QPoint global, Qt::MouseButtons buttons = Qt::LeftButton) {
    QMouseEvent e(QEvent::MouseMove, bar->mapFromGlobal(global), global, Qt::NoButton, buttons,
                  Qt::NoModifier);
    QApplication::sendEvent(bar, &e);
  }
  void Release(QPoint global) {
    QMouseEvent e(QEvent::MouseButtonRelease, bar->mapFromGlobal(global), global, Qt::LeftButton,
                  Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(bar, &e);
  }

  std::unique_ptr<QWidget> windowHolder;
  CustomTitleBar* bar = nullptr;
  QWidget& window() { return *windowHolder; }
};

TEST_F(TitleBarTest, ButtonTypesOnlyHide) {
  EXPECT_EQ(bar->height(), 60);
  EXPECT_EQ(Button("Settings")->text(), QStringLiteral("设置"));

  bar->SetButtonType(3);
  EXPECT_EQ(Shown(), (QStringList{"Settings", "ButtonHelp", "ButtonMin", "ButtonClose"}));
  bar->SetButtonType(4);
  EXPECT_EQ(Shown(), QStringList{"ButtonClose"});
  bar->SetButtonType(3);  // nothing comes back
  EXPECT_EQ(Shown(), QStringList{"ButtonClose"});
  bar->SetButtonType(5);
  EXPECT_TRUE(Shown().isEmpty());

  CustomTitleBar fresh(&window());
  fresh.SetButtonType(1);
  QStringList shown;
  for (const char* n : {"Settings", "ButtonHelp", "ButtonMin", "ButtonRestore", "ButtonMax",
                        "ButtonClose"})
    if (!fresh.findChild<QPushButton*>(n)->isHidden()) shown << n;
  EXPECT_EQ(shown, (QStringList{"ButtonMin", "ButtonMax", "ButtonClose"}));
}

TEST_F(TitleBarTest, ClickedButtonsEmitTheirSignals) {
  bar->SetButtonType(3);
  ShowWindow();
  QSignalSpy help(bar, &CustomTitleBar::signalButtonHelpClicked);
  QSignalSpy settings(bar, &CustomTitleBar::signalButtonSettingsClicked);
  QSignalSpy min(bar, &CustomTitleBar::signalButtonMinClicked);
  QSignalSpy close(bar, &CustomTitleBar::signalButtonCloseClicked);
  QTest::mouseClick(Button("ButtonHelp"), Qt::LeftButton);
  QTest::mouseClick(Button("Settings"), Qt::LeftButton);
  QTest::mouseClick(Button("Settings"), Qt::LeftButton);
  QTest::mouseClick(Button("ButtonMin"), Qt::LeftButton);
  QTest::mouseClick(Button("ButtonClose"), Qt::LeftButton);
  EXPECT_EQ(help.count(), 1);
  EXPECT_EQ(settings.count(), 2);
  EXPECT_EQ(min.count(), 1);
  EXPECT_EQ(close.count(), 1);
  // The buttons never take the keyboard focus from the window's controls.
  for (QPushButton* b : bar->findChildren<QPushButton*>()) EXPECT_EQ(b->focusPolicy(), Qt::NoFocus);
}

TEST_F(TitleBarTest, MaximiseAndRestoreSwapBeforeTheSignal) {
  bar->SetButtonType(1);
  ShowWindow();
  bool restoreShownAtMax = false;
  bool maxShownAtRestore = false;
  QObject::connect(bar, &CustomTitleBar::signalButtonMaxClicked,
                   [&] { restoreShownAtMax = !Button("ButtonRestore")->isHidden(); });
  QObject::connect(bar, &CustomTitleBar::signalButtonRestoreClicked,
                   [&] { maxShownAtRestore = !Button("ButtonMax")->isHidden(); });
  QTest::mouseClick(Button("ButtonMax"), Qt::LeftButton);
  EXPECT_TRUE(restoreShownAtMax);
  EXPECT_TRUE(Button("ButtonMax")->isHidden());
  QTest::mouseClick(Button("ButtonRestore"), Qt::LeftButton);
  EXPECT_TRUE(maxShownAtRestore);
  EXPECT_TRUE(Button("ButtonRestore")->isHidden());
}

TEST_F(TitleBarTest, DoubleClickTogglesOnlyForTypeOne) {
  ShowWindow();
  QSignalSpy max(bar, &CustomTitleBar::signalButtonMaxClicked);
  QSignalSpy restore(bar, &CustomTitleBar::signalButtonRestoreClicked);

  bar->SetButtonType(3);
  QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(30, 30));
  EXPECT_EQ(max.count() + restore.count(), 0);

  CustomTitleBar* second = new CustomTitleBar(&window());
  second->SetButtonType(1);
  second->show();
  QSignalSpy max2(second, &CustomTitleBar::signalButtonMaxClicked);
  QSignalSpy restore2(second, &CustomTitleBar::signalButtonRestoreClicked);
  QTest::mouseDClick(second, Qt::LeftButton, Qt::NoModifier, QPoint(30, 30));
  EXPECT_EQ(max2.count(), 1);
  QTest::mouseDClick(second, Qt::LeftButton, Qt::NoModifier, QPoint(30, 30));
  EXPECT_EQ(restore2.count(), 1);
}

TEST_F(TitleBarTest, DraggingMovesTheWindowUntilRelease) {
  bar->SetButtonType(3);
  ShowWindow();
  const QPoint start = window().pos();
  const QPoint grab = bar->mapToGlobal(QPoint(100, 30));
  Press(QPoint(100, 30));
  MoveTo(grab + QPoint(40, 25));
  MoveTo(grab + QPoint(70, 35));
  EXPECT_EQ(window().pos(), start + QPoint(70, 35));
  Release(grab + QPoint(70, 35));
  MoveTo(grab + QPoint(200, 200), Qt::NoButton);
  EXPECT_EQ(window().pos(), start + QPoint(70, 35));
}

TEST_F(TitleBarTest, MovesWithoutPressOrWhileMaximisedDoNothing) {
  bar->SetButtonType(1);
  ShowWindow();
  const QPoint start = window().pos();
  MoveTo(bar->mapToGlobal(QPoint(100, 30)) + QPoint(50, 50));
  EXPECT_EQ(window().pos(), start);

  QTest::mouseClick(Button("ButtonMax"), Qt::LeftButton);  // owner now maximised
  const QPoint grab = bar->mapToGlobal(QPoint(100, 30));
  Press(QPoint(100, 30));
  MoveTo(grab + QPoint(60, 60));
  Release(grab + QPoint(60, 60));
  EXPECT_EQ(window().pos(), start);
}

TEST_F(TitleBarTest, FollowsTheWindowWidthWhenPainted) {
  bar->SetButtonType(4);
  ShowWindow();
  window().resize(720, 300);
  bar->repaint();
  EXPECT_EQ(bar->width(), 720);
  // The close button sits at the right edge.
  QTRY_COMPARE(Button("ButtonClose")->geometry().right(), 719);
}

TEST_F(TitleBarTest, KeepsTitleAndRestoreGeometryForTheOwner) {
  bar->SetTitleContent(QStringLiteral("Korvo录屏"), 12);
  QLabel* title = bar->findChild<QLabel*>("TitleContent");
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->text(), QStringLiteral("Korvo录屏"));
  bar->SaveRestoreInfo(QPoint(12, 34), QSize(560, 780));
  QPoint pos;
  QSize size;
  bar->GetRestoreInfo(pos, size);
  EXPECT_EQ(pos, QPoint(12, 34));
  EXPECT_EQ(size, QSize(560, 780));
}

}  // namespace
