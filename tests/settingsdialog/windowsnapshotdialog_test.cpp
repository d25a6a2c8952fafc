#include <gtest/gtest.h>

#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>

#include "mainwindow/guitestenv.h"
#include "platform/fake/fake_screen_copy.h"
#include "platform/fake/fake_windows.h"
#include "settingsdialog/windowsnapshotdialog.h"
#include "support/logcapture.h"
#include "support/testsupport.h"
#include "widgets/customtitlebar.h"

namespace {

class PaintedWindow : public QWidget {
 public:
  PaintedWindow(const QString& title, QColor colour) : m_colour(colour) {
    setWindowTitle(title);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), m_colour);
    p.setPen(Qt::white);
    p.drawText(rect(), Qt::AlignCenter, windowTitle());
  }

 private:
  QColor m_colour;
};

QListWidgetItem* ItemFor(QListWidget* list, platform::WindowId id) {
  for (int i = 0; i < list->count(); ++i) {
    const QVariant data = list->item(i)->data(Qt::UserRole + 1);
    if (data.value<WindowInfo>().window == id) return list->item(i);
  }
  return nullptr;
}

// Runs the dialog modally; act runs once it is shown.
int RunWith(WindowSnapshotDialog& dialog, std::function<void()> act) {
  QTimer::singleShot(0, &dialog, [&dialog, act] {
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    act();
  });
  return dialog.exec();
}

class WindowSnapshotDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
    platform::Backend::Use(platform::BackendKind::X11);
    guitest::App();
  }
};

}  // namespace

TEST_F(WindowSnapshotDialogTest, ListsWindowsAsThumbnailsAndReturnsTheChosenOne) {
  PaintedWindow first("记事本 - notes.txt", QColor(40, 120, 200));
  first.setGeometry(60, 60, 480, 270);
  first.show();
  PaintedWindow second("Browser", QColor(200, 90, 40));
  second.setGeometry(400, 60, 320, 400);  // over the first one's right part
  second.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&first));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&second));

  WindowSnapshotDialog dialog(nullptr);
  EXPECT_EQ(dialog.windowTitle(), "Dialog");
  EXPECT_EQ(dialog.size(), QSize(775, 442));
  auto* list = dialog.findChild<QListWidget*>("listWidget");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->viewMode(), QListView::IconMode);
  EXPECT_EQ(list->currentItem(), nullptr);
  EXPECT_TRUE(list->selectedItems().isEmpty());
  QListWidgetItem* item = ItemFor(list, first.winId());
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->text(), "记事本 - notes.txt");
  EXPECT_EQ(item->sizeHint(), QSize(160, 135));
  const WindowInfo record = item->data(Qt::UserRole + 1).value<WindowInfo>();
  EXPECT_EQ(record.title, "记事本 - notes.txt");
  EXPECT_FALSE(record.className.empty());
  // The thumbnail is the window's own picture, 90 pixels high, also where
  // another window covers it: the compositor keeps each window's picture.
  const QPixmap thumb = item->icon().pixmap(QSize(160, 90));
  ASSERT_FALSE(thumb.isNull());
  EXPECT_EQ(thumb.height(), 90);
  const QImage picture = thumb.toImage();
  EXPECT_EQ(picture.pixelColor(5, 5), QColor(40, 120, 200));
  EXPECT_EQ(picture.pixelColor(picture.width() - 5, 45), QColor(40, 120, 200));
  EXPECT_TRUE(item->toolTip().isEmpty());
  EXPECT_NE(ItemFor(list, second.winId()), nullptr);
  EXPECT_EQ(QMetaType::type("WindowInfo"), qMetaTypeId<WindowInfo>());

  const int result = RunWith(dialog, [&] {
    EXPECT_TRUE(guitest::SaveScreenshot(&dialog, "windowsnapshotdialog"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(ItemFor(list, second.winId())).center());
    QTest::mouseClick(dialog.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  });
  EXPECT_EQ(result, QDialog::Accepted);
  const WindowInfo chosen = dialog.SelectedWindow();
  EXPECT_EQ(chosen.window, second.winId());
  EXPECT_EQ(chosen.title, "Browser");
}

// OK without a window would record the whole desktop: it waits for a choice.
TEST_F(WindowSnapshotDialogTest, OkNeedsASelectionAndCancelRejects) {
  PaintedWindow window("Something", Qt::darkGreen);
  window.setGeometry(60, 60, 200, 150);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  {
    WindowSnapshotDialog dialog(nullptr);
    EXPECT_EQ(dialog.SelectedWindow().window, 0u);
    const int result = RunWith(dialog, [&] {
      auto* ok = dialog.findChild<QPushButton*>("pushButton");
      EXPECT_FALSE(ok->isEnabled());
      QTest::mouseClick(ok, Qt::LeftButton);
      EXPECT_TRUE(dialog.isVisible());
      auto* list = dialog.findChild<QListWidget*>("listWidget");
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                        list->visualItemRect(ItemFor(list, window.winId())).center());
      EXPECT_TRUE(ok->isEnabled());
      QTest::mouseClick(ok, Qt::LeftButton);
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(dialog.SelectedWindow().window, window.winId());
  }
  {
    WindowSnapshotDialog dialog(nullptr);
    const int result = RunWith(dialog, [&] {
      QTest::mouseClick(dialog.findChild<QPushButton*>("pushButton_2"), Qt::LeftButton);
    });
    EXPECT_EQ(result, QDialog::Rejected);
  }
  {
    WindowSnapshotDialog dialog(nullptr);
    const int result = RunWith(dialog, [&] {
      emit dialog.findChild<CustomTitleBar*>()->signalButtonCloseClicked();
    });
    EXPECT_EQ(result, QDialog::Rejected);
  }
}

// Without a compositor a window keeps no picture of its own: its thumbnail is
// read from the screen, which the item tells the user; the log tells it once.
TEST_F(WindowSnapshotDialogTest, ThumbnailsReadFromTheScreenSaySoOnABareServer) {
  PaintedWindow window("Something", Qt::darkGreen);
  window.setGeometry(60, 60, 200, 150);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  testsupport::LogCapture log;
  WindowSnapshotDialog dialog(nullptr);
  auto* list = dialog.findChild<QListWidget*>("listWidget");
  QListWidgetItem* item = ItemFor(list, window.winId());
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->toolTip(), QStringLiteral("缩略图取自屏幕，可能显示遮挡该窗口的内容"));
  const auto messages = log.Messages();
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const std::string& m) { return m.find("from the screen") != m.npos; }),
            1);
}

TEST(WindowSnapshotDialogFake, WindowWithoutAPictureIsLeftOut) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  guitest::App();
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& windows = platform::fake::FakeWindows::Instance();
  windows.Reset();
  platform::fake::FakeScreenCopyScript::Instance().Reset();
  platform::TopLevelWindow a;
  a.id = 1;
  a.title = "Pictured";
  a.rect = {0, 0, 320, 180};
  a.visible = true;
  platform::TopLevelWindow b = a;
  b.id = 2;
  b.title = "No picture";
  windows.AddWindow(a);
  windows.AddWindow(b);
  platform::fake::FakeScreenCopyScript::Instance().SetWindowImage(1, 320, 180, 0xFF00FF00u);
  WindowSnapshotDialog dialog(nullptr);
  auto* list = dialog.findChild<QListWidget*>("listWidget");
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->item(0)->text(), "Pictured");
  EXPECT_TRUE(list->item(0)->toolTip().isEmpty()) << "the window's own picture";
  platform::Backend::Use(platform::BackendKind::X11);
}

int main(int argc, char** argv) {
  return testsupport::RunTestsOnOwnDisplay(argc, argv, "*OnABareServer*");
}
