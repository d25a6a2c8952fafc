#include <QCursor>
#include <QEventLoop>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>

#include "dialogtestenv.h"
#include "settingsdialog/settingsdialog.h"
#include "settingsdialog/watermarkpreviewer.h"

namespace {

class WatermarkPreviewerTest : public dialogtest::DialogTest {
 protected:
  // Drags the label by (dx, dy) with the real pointer, as a user would.
  static void Drag(QLabel* label, QPoint delta) {
    const QPoint grab = label->mapToGlobal(QPoint(2, 2));
    QCursor::setPos(grab);
    QMouseEvent press(QEvent::MouseButtonPress, QPoint(2, 2), grab, Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(label, &press);
    QCursor::setPos(grab + delta);
    QMouseEvent move(QEvent::MouseMove, QPoint(2, 2) + delta, grab + delta, Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(label, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, QPoint(2, 2) + delta, grab + delta,
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(label, &release);
  }
};

TEST_F(WatermarkPreviewerTest, ScalesToTheScreensShapeAndPlacesByFractions) {
  QWidget host;
  host.resize(600, 400);
  auto* previewer = new WatermarkPreviewer(&host);
  previewer->SetText("watermark");
  previewer->SetPreviewHeight(245);
  const QSize screen = QGuiApplication::primaryScreen()->size();
  EXPECT_EQ(previewer->height(), 245);
  EXPECT_EQ(previewer->width(), 245 * screen.width() / screen.height());
  EXPECT_EQ(previewer->TextLabel()->pos(), QPoint(previewer->width() / 2, 245 / 2));

  previewer->SetRelativePos(0.5, 0.5);
  EXPECT_EQ(previewer->TextLabel()->pos(),
            QPoint(static_cast<int>(previewer->width() * 0.5), static_cast<int>(245 * 0.5)));
  previewer->SetRelativePos(0.0, 0.0);
  double fx = -1, fy = -1;
  previewer->GetRelativePos(fx, fy);
  EXPECT_DOUBLE_EQ(fx, 0.0);
  EXPECT_DOUBLE_EQ(fy, 0.0);

  previewer->SetTextColor(QColor(255, 0, 0));
  EXPECT_EQ(previewer->TextLabel()->styleSheet(), "color:rgb(255,0,0)");
  const int narrow = previewer->TextLabel()->width();
  // A font wider than the small picture: near the right edge the label stays
  // where the text ends at the edge of the recording (shown at the screen's
  // size), not at the preview's left edge.
  const QFont big("DejaVu Sans", 72);
  previewer->SetTextFont(big);
  EXPECT_GT(previewer->TextLabel()->width(), narrow);
  previewer->SetRelativePos(0.9, 0.5);
  previewer->GetRelativePos(fx, fy);
  const int advance = QFontMetrics(big).horizontalAdvance("watermark");
  EXPECT_NEAR(fx * screen.width() + advance, screen.width(),
              double(screen.width()) / previewer->width() + 1);
  EXPECT_DOUBLE_EQ(fy, static_cast<int>(245 * 0.5) / 245.0);
}

TEST_F(WatermarkPreviewerTest, DraggedLabelIsStoredAsFractionsOfThePreview) {
  settings()->SetWatermarkText("drag me");
  SettingsDialog dialog(nullptr);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QWidget* page = Child<QWidget>(&dialog, "page_5");
  dialog.findChild<QStackedWidget*>("stackedWidget")->setCurrentWidget(page);
  QLabel* label = nullptr;
  for (QLabel* l : page->findChildren<QLabel*>())
    if (l->text() == "drag me") label = l;
  ASSERT_NE(label, nullptr);
  QWidget* previewer = label->parentWidget();
  EXPECT_EQ(previewer->pos(), QPoint(10, 120));
  EXPECT_EQ(previewer->height(), 245);
  EXPECT_EQ(label->styleSheet(), "color:rgb(255,0,0)");  // no colour chosen: red, as recorded
  // No font chosen: the bold face the recording draws, sized to the screen.
  const QSize screen = QGuiApplication::primaryScreen()->size();
  EXPECT_EQ(label->font().pixelSize(), screen.height() / 8 * 3 / 4);
  EXPECT_TRUE(label->font().bold());

  Drag(label, QPoint(-40, 30));
  const QPoint at = label->pos();
  EXPECT_EQ(at, QPoint(previewer->width() / 2 - 40, 245 / 2 + 30));

  // A double-click on the embedded previewer does nothing.
  QTest::mouseDClick(previewer, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
  double x = 0, y = 0;
  EXPECT_FALSE(settings()->GetWatermarkPos(x, y));

  ASSERT_TRUE(dialog.SaveSettings());
  ASSERT_TRUE(settings()->GetWatermarkPos(x, y));
  EXPECT_DOUBLE_EQ(x, static_cast<double>(at.x()) / previewer->width());
  EXPECT_DOUBLE_EQ(y, static_cast<double>(at.y()) / 245);

  // Reopening puts the label back at the same fractions.
  SettingsDialog reopened(nullptr);
  QLabel* again = nullptr;
  for (QLabel* l : Child<QWidget>(&reopened, "page_5")->findChildren<QLabel*>())
    if (l->text() == "drag me") again = l;
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->pos(), at);

  // Dragged past the bottom-right corner the label stops where the text
  // ends at the recording's corner, and stays there at the next save.
  Drag(label, QPoint(previewer->width(), previewer->height()));
  const QPoint edge = label->pos();
  ASSERT_TRUE(dialog.SaveSettings());
  ASSERT_TRUE(settings()->GetWatermarkPos(x, y));
  const QFontMetrics metrics(label->font());
  EXPECT_NEAR(x * screen.width() + metrics.horizontalAdvance("drag me"), screen.width(),
              double(screen.width()) / previewer->width() + 1);
  EXPECT_NEAR(y * screen.height() + metrics.height(), screen.height(),
              double(screen.height()) / 245 + 1);
  SettingsDialog atCorner(nullptr);
  for (QLabel* l : Child<QWidget>(&atCorner, "page_5")->findChildren<QLabel*>())
    if (l->text() == "drag me") EXPECT_EQ(l->pos(), edge);

  // The corner (0, 0) is kept like any position.
  Drag(label, QPoint(-2 * previewer->width(), -previewer->height()));
  EXPECT_EQ(label->pos(), QPoint(0, 0));
  QTest::mouseClick(dialog.findChild<QPushButton*>("ButtonClose"), Qt::LeftButton);
  ASSERT_TRUE(settings()->GetWatermarkPos(x, y));
  EXPECT_EQ(QPointF(x, y), QPointF(0, 0));
  SettingsDialog corner(nullptr);
  for (QLabel* l : Child<QWidget>(&corner, "page_5")->findChildren<QLabel*>())
    if (l->text() == "drag me") EXPECT_EQ(l->pos(), QPoint(0, 0));
}

TEST_F(WatermarkPreviewerTest, FullScreenPreviewCoversTheScreenAndShowsTheHint) {
  auto* previewer = new WatermarkPreviewer(nullptr);
  previewer->SetText(QStringLiteral("全屏水印"));
  previewer->SetTextColor(QColor(0, 200, 0));
  previewer->ShowFullScreen();
  previewer->SetRelativePos(0.25, 0.5);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(previewer));
  QTest::qWait(100);
  EXPECT_EQ(previewer->windowState(), Qt::WindowFullScreen);
  EXPECT_EQ(previewer->size(), QGuiApplication::primaryScreen()->size());
  QLabel* hint = nullptr;
  for (QLabel* l : previewer->findChildren<QLabel*>())
    if (l->text() == QStringLiteral("双击左键退出全屏")) hint = l;
  ASSERT_NE(hint, nullptr);
  EXPECT_TRUE(hint->isVisible());
  EXPECT_EQ(hint->y(), previewer->height() / 6);
  EXPECT_EQ(previewer->TextLabel()->pos(),
            QPoint(previewer->width() / 4, previewer->height() / 2));
  // Past the bottom-right corner: where the recording puts the text, whole.
  previewer->SetRelativePos(0.99, 0.99);
  const QFontMetrics metrics(previewer->TextLabel()->font());
  EXPECT_EQ(previewer->TextLabel()->pos(),
            QPoint(previewer->width() - metrics.horizontalAdvance(QStringLiteral("全屏水印")),
                   previewer->height() - metrics.height()));
  previewer->SetRelativePos(0.25, 0.5);
  guitest::SaveScreenshot(previewer, "watermark_fullscreen");
  QPointer<QWidget> guard(previewer);
  previewer->close();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(guard.isNull());  // a closed full-screen previewer deletes itself
}

// The full-screen preview shows the desktop as it was when the settings
// opened, without the settings dialog.
TEST_F(WatermarkPreviewerTest, FullScreenPreviewShowsTheDesktopWithoutTheDialog) {
  const QColor blue(0, 128, 255);
  QWidget desktop;
  QPalette palette;
  palette.setColor(QPalette::Window, blue);
  desktop.setPalette(palette);
  desktop.setAutoFillBackground(true);
  desktop.setGeometry(QGuiApplication::primaryScreen()->geometry());
  desktop.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&desktop));
  QTest::qWait(100);

  SettingsDialog dialog(nullptr);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QTest::qWait(100);
  const QRect area = dialog.frameGeometry();
  Child<QPushButton>(&dialog, "btn_wm_full_preview")->click();
  WatermarkPreviewer* full = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* p = dynamic_cast<WatermarkPreviewer*>(w); p && p->isVisible()) full = p;
  ASSERT_NE(full, nullptr);
  const QImage shown = full->grab().toImage();
  int notDesktop = 0;
  for (int y = area.top(); y <= area.bottom(); y += 8)
    for (int x = area.left(); x <= area.right(); x += 8)
      if (!full->childAt(x, y) && shown.pixelColor(x, y) != blue) ++notDesktop;
  EXPECT_EQ(notDesktop, 0);
  full->close();
}

// The double-click stores the position and opens the settings on the
// watermark page; closing it there comes back. The previewer closes itself
// and is gone once its handler has returned: the test only watches it.
TEST_F(WatermarkPreviewerTest, DoubleClickFullScreenStoresAndReturnsToTheSettings) {
  QPointer<WatermarkPreviewer> previewer = new WatermarkPreviewer(nullptr);
  previewer->SetText("x");
  previewer->ShowFullScreen();
  previewer->SetRelativePos(0.125, 0.25);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(previewer));
  QTest::qWait(100);
  ASSERT_EQ(previewer->windowState(), Qt::WindowFullScreen);
  const QSize size = previewer->size();

  // Delivered from a running event loop, as the program gets it.
  QString page;
  QEventLoop loop;
  QTimer::singleShot(0, [&] {
    OnModal([&page](QWidget* modal) {
      auto* dialog = qobject_cast<SettingsDialog*>(modal);
      ASSERT_NE(dialog, nullptr);
      page = dialog->findChild<QStackedWidget*>("stackedWidget")->currentWidget()->objectName();
      dialog->reject();
    });
    QTest::mouseDClick(previewer, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    loop.quit();
  });
  loop.exec();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(previewer.isNull());
  EXPECT_EQ(page, "page_5");
  double x = 0, y = 0;
  ASSERT_TRUE(settings()->GetWatermarkPos(x, y));
  EXPECT_NEAR(x, 0.125, 1.0 / size.width());
  EXPECT_NEAR(y, 0.25, 1.0 / size.height());
}

}  // namespace

int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
