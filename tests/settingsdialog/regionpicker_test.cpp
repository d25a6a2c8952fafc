#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

#include "../mainwindow/guitestenv.h"
#include "settingsdialog/regiondisplaydlg.h"
#include "settingsdialog/regionrecorddialog.h"
#include "utils.h"

namespace {

// A window that fills its area with one colour, under the region frame.
class Backdrop : public QWidget {
 public:
  Backdrop() {
    setWindowFlags(Qt::FramelessWindowHint);
    setGeometry(0, 0, 1920, 1080);
  }
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), QColor(40, 90, 160)); }
};

class RegionPickerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    guitest::App();
    m_savedScreenRect = g_primaryScreenRect;
  }
  void TearDown() override { g_primaryScreenRect = m_savedScreenRect; }

  // Shows the dialog without running it modally, painted once.
  static void Show(RegionRecordDialog& dialog) {
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    dialog.repaint();
  }

  static QPushButton* Button(QWidget* dialog, const QString& text) {
    for (QPushButton* b : dialog->findChildren<QPushButton*>())
      if (b->text() == text) return b;
    return nullptr;
  }
  static QWidget* ToolBar(QWidget* dialog) { return Button(dialog, "确定")->parentWidget(); }

  // A move with the left button held, delivered at once (QTest::mouseMove
  // warps the pointer and the X server reports it later).
  static void Move(QWidget* w, QPoint to) {
    QMouseEvent event(QEvent::MouseMove, to, w->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(w, &event);
  }

  // A left-button drag in steps, as a user's hand makes it.
  static void Drag(QWidget* w, QPoint from, QPoint to) {
    QTest::mousePress(w, Qt::LeftButton, {}, from);
    const int steps = 4;
    for (int i = 1; i <= steps; ++i) Move(w, from + (to - from) * i / steps);
    QTest::mouseRelease(w, Qt::LeftButton, {}, to);
    w->repaint();
  }

  // Runs the dialog modally; act() drives it once it is up.
  static int Exec(RegionRecordDialog& dialog, std::function<void(RegionRecordDialog*)> act) {
    QTimer::singleShot(0, [&dialog, act] {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
      dialog.repaint();
      act(&dialog);
    });
    return dialog.exec();
  }

  QRect m_savedScreenRect;
};

TEST_F(RegionPickerTest, OpensOnTheDesktopWithTheDefaultSelectionAndItsToolbar) {
  g_primaryScreenRect = QRect(0, 0, 1920, 1080);
  Backdrop backdrop;
  backdrop.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&backdrop));
  RegionRecordDialog dialog;
  QImage painted;
  const int result = Exec(dialog, [&painted](RegionRecordDialog* d) {
    EXPECT_EQ(d->geometry(), QRect(0, 0, 1920, 1080));
    QWidget* bar = ToolBar(d);
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->geometry(), QRect(701 - 220, 601, 220, 50));
    EXPECT_EQ(Button(d, "确定")->size(), QSize(70, 30));
    EXPECT_EQ(Button(d, "取消")->size(), QSize(70, 30));
    EXPECT_LT(Button(d, "取消")->x(), Button(d, "确定")->x());
    painted = d->grab().toImage();
    guitest::SaveScreenshot(d, "regionrecorddialog");
    QTest::mouseClick(Button(d, "确定"), Qt::LeftButton);
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(300, 200), QPoint(700, 600)));

  // Red outline on the selection's edges, red handles, the size text above it.
  ASSERT_EQ(painted.size(), QSize(1920, 1080));
  EXPECT_EQ(painted.pixelColor(500, 200), QColor(255, 0, 0));
  EXPECT_EQ(painted.pixelColor(300, 400), QColor(255, 0, 0));
  EXPECT_EQ(painted.pixelColor(699, 400), QColor(255, 0, 0));
  EXPECT_EQ(painted.pixelColor(302, 202), QColor(255, 0, 0));  // top-left handle
  int redAbove = 0;
  for (int y = 180; y < 200; ++y)
    for (int x = 300; x < 360; ++x)
      if (painted.pixelColor(x, y).red() > 200 && painted.pixelColor(x, y).green() < 80) ++redAbove;
  EXPECT_GT(redAbove, 20);
  // The desktop's picture lies under it, outside the selection barely darkened.
  const QColor outside = painted.pixelColor(1500, 900);
  EXPECT_NEAR(outside.red(), 40, 2);
  EXPECT_NEAR(outside.green(), 90, 2);
  EXPECT_NEAR(outside.blue(), 160, 2);
  EXPECT_EQ(painted.pixelColor(500, 400), QColor(40, 90, 160));
}

TEST_F(RegionPickerTest, DraggingOutANewRectangleGivesIt) {
  RegionRecordDialog dialog;
  dialog.SetRegion(QRect());
  const int result = Exec(dialog, [](RegionRecordDialog* d) {
    Drag(d, QPoint(700, 560), QPoint(100, 150));  // up and to the left
    QTest::mouseClick(Button(d, "确定"), Qt::LeftButton);
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(100, 150), QPoint(700, 560)));

  RegionRecordDialog beyond;
  beyond.SetRegion(QRect());
  Show(beyond);
  Drag(&beyond, QPoint(1500, 700), QPoint(2500, 1500));
  EXPECT_EQ(beyond.GetRegion(), QRect(QPoint(1500, 700), QPoint(1918, 1078)));
}

TEST_F(RegionPickerTest, CancelRightAndMiddleButtonsAndEscReject) {
  RegionRecordDialog cancelled;
  EXPECT_EQ(Exec(cancelled, [](RegionRecordDialog* d) {
              QTest::mouseClick(Button(d, "取消"), Qt::LeftButton);
            }),
            QDialog::Rejected);
  RegionRecordDialog right;
  EXPECT_EQ(Exec(right, [](RegionRecordDialog* d) {
              QTest::mousePress(d, Qt::RightButton, {}, QPoint(500, 400));
            }),
            QDialog::Rejected);
  RegionRecordDialog middle;
  EXPECT_EQ(Exec(middle, [](RegionRecordDialog* d) {
              QTest::mousePress(d, Qt::MiddleButton, {}, QPoint(10, 10));
            }),
            QDialog::Rejected);
  RegionRecordDialog escaped;
  EXPECT_EQ(Exec(escaped, [](RegionRecordDialog* d) { QTest::keyClick(d, Qt::Key_Escape); }),
            QDialog::Rejected);
}

TEST_F(RegionPickerTest, SetRegionPreselectsAndGetRegionEvensTheSpans) {
  RegionRecordDialog dialog;
  dialog.SetRegion(QRect(50, 60, 400, 320));
  EXPECT_EQ(ToolBar(&dialog)->pos(), QPoint(450 - 220, 380));
  EXPECT_EQ(Exec(dialog, [](RegionRecordDialog* d) {
              QTest::mouseClick(Button(d, "确定"), Qt::LeftButton);
            }),
            QDialog::Accepted);
  // right - left = 399 and bottom - top = 319 are odd: each edge comes in by one.
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(50, 60), QPoint(448, 378)));
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(50, 60), QPoint(448, 378)));

  dialog.SetRegion(QRect(QPoint(0, 0), QPoint(100, 50)));
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(0, 0), QPoint(100, 50)));
  dialog.SetRegion(QRect(QPoint(0, 0), QPoint(99, 49)));
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(0, 0), QPoint(98, 48)));
}

TEST_F(RegionPickerTest, SelectionMovesInsideTheScreenAndIgnoresPressesOutside) {
  RegionRecordDialog dialog;
  Show(dialog);
  Drag(&dialog, QPoint(100, 100), QPoint(250, 180));  // outside: nothing happens
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(300, 200), QPoint(700, 600)));

  Drag(&dialog, QPoint(500, 400), QPoint(600, 450));
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(400, 250), QPoint(800, 650)));
  EXPECT_EQ(ToolBar(&dialog)->pos(), QPoint(801 - 220, 651));

  // Pushed past the bottom-right corner, it stops at the screen's edge.
  Drag(&dialog, QPoint(500, 400), QPoint(3000, 3000));
  const QRect r = dialog.GetRegion();
  EXPECT_EQ(r.size(), QSize(401, 401));
  EXPECT_EQ(r.topLeft(), QPoint(1919 - 401, 1079 - 401));
  // Near the bottom, the toolbar goes above the selection.
  EXPECT_EQ(ToolBar(&dialog)->pos(), QPoint(r.x() + r.width() - 220, r.y() - 50));
}

TEST_F(RegionPickerTest, HandlesResizeButNotBelowTheMinimumSize) {
  RegionRecordDialog dialog;
  Show(dialog);
  // Bottom-right handle: the 5x5 square in the selection's bottom-right corner.
  Drag(&dialog, QPoint(697, 597), QPoint(797, 647));
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(300, 200), QPoint(800, 650)));

  // Top-left handle dragged inwards: 311 wide is allowed, 309 is not, and
  // neither is turning the rectangle inside out.
  QTest::mousePress(&dialog, Qt::LeftButton, {}, QPoint(302, 202));
  Move(&dialog, QPoint(492, 202));
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(490, 200), QPoint(800, 650)));
  Move(&dialog, QPoint(494, 202));
  Move(&dialog, QPoint(1000, 202));
  QTest::mouseRelease(&dialog, Qt::LeftButton, {}, QPoint(1000, 202));
  dialog.repaint();
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(490, 200), QPoint(800, 650)));
  QTest::mousePress(&dialog, Qt::LeftButton, {}, QPoint(492, 202));
  Move(&dialog, QPoint(352, 202));
  QTest::mouseRelease(&dialog, Qt::LeftButton, {}, QPoint(352, 202));
  dialog.repaint();
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(350, 200), QPoint(800, 650)));
  // Past the screen's corner the edge stops on it.
  Drag(&dialog, QPoint(352, 202), QPoint(-200, -300));
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(0, 0), QPoint(800, 650)));
  Drag(&dialog, QPoint(2, 2), QPoint(352, 202));
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(350, 200), QPoint(800, 650)));

  // Middle-right handle: only the width changes.
  const QPoint midRight(800 - 1 - 2, 200 + (450 / 2) - 2 + 2);
  Drag(&dialog, midRight, midRight + QPoint(60, 200));
  EXPECT_EQ(dialog.GetRegion(), QRect(QPoint(350, 200), QPoint(860, 650)));
}

TEST_F(RegionPickerTest, ToolbarFollowsTheSelectionAndTheDisplayWidth) {
  RegionRecordDialog dialog;
  dialog.SetRegion(QRect(100, 900, 400, 150));  // too low for a toolbar below
  EXPECT_EQ(ToolBar(&dialog)->pos(), QPoint(500 - 220, 850));
  dialog.SetRegion(QRect(0, 50, 400, 1000));  // no room above either: inside
  EXPECT_EQ(ToolBar(&dialog)->pos(), QPoint(400 - 220, 1050 - 100));

  g_primaryScreenRect = QRect(0, 0, 2560, 1440);
  RegionRecordDialog wide;
  EXPECT_EQ(ToolBar(&wide)->size(), QSize(440, 100));
  EXPECT_EQ(Button(&wide, "确定")->size(), QSize(140, 60));
  EXPECT_EQ(ToolBar(&wide)->pos(), QPoint(701 - 440, 601));
}

// The frame lies just outside the recorded pixels, never on them.
TEST_F(RegionPickerTest, RegionFrameOutlinesTheRegionFromOutside) {
  RegionDisplayDlg frame;
  EXPECT_EQ(frame.size(), QSize(500, 400));
  EXPECT_FALSE(frame.isVisible());
  EXPECT_TRUE(frame.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(frame.windowFlags() & Qt::WindowStaysOnTopHint);

  Backdrop backdrop;
  backdrop.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&backdrop));

  const QRect region(120, 90, 640, 480);
  frame.FrameAround(region);
  frame.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
  EXPECT_TRUE(frame.geometry().contains(region));
  guitest::SaveScreenshot(&backdrop, "regiondisplaydlg");

  // On the screen the content shows through inside, up to the region's edges.
  QTest::qWait(300);
  const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  const QColor content(40, 90, 160), red(255, 0, 0);
  const int midX = region.center().x(), midY = region.center().y();
  EXPECT_EQ(screen.pixelColor(region.center()), content);
  for (QPoint inside : {QPoint(region.left(), midY), QPoint(region.right(), midY),
                        QPoint(midX, region.top()), QPoint(midX, region.bottom())})
    EXPECT_EQ(screen.pixelColor(inside), content) << inside.x() << "," << inside.y();
  for (QPoint outside : {QPoint(region.left() - 2, midY), QPoint(region.right() + 2, midY),
                         QPoint(midX, region.top() - 2), QPoint(midX, region.bottom() + 2)})
    EXPECT_EQ(screen.pixelColor(outside), red) << outside.x() << "," << outside.y();
  frame.hide();
  EXPECT_FALSE(frame.isVisible());
}

}  // namespace
