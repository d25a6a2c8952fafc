#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

#include "mainwindow/guitestenv.h"
#include "widgets/messagedialog.h"

namespace {

struct Seen {
  int width = 0;
  QRect ok, cancel, icon, text;
  bool okShown = false, cancelShown = false;
  QString message;
  int titleWidth = 0;
};

class MessageDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    guitest::App();
  }

  // Once the dialog runs modally, records what it shows and clicks a button.
  void WhenShown(const char* buttonToClick) {
    QTimer::singleShot(0, [this, buttonToClick] {
      QWidget* dialog = QApplication::activeModalWidget();
      ASSERT_NE(dialog, nullptr);
      ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
      dialog->repaint();
      auto* ok = dialog->findChild<QPushButton*>("pushButton");
      auto* cancel = dialog->findChild<QPushButton*>("pushButton_2");
      seen.width = dialog->width();
      seen.ok = ok->geometry();
      seen.cancel = cancel->geometry();
      seen.okShown = ok->isVisible();
      seen.cancelShown = cancel->isVisible();
      seen.icon = dialog->findChild<QLabel*>("label_2")->geometry();
      seen.text = dialog->findChild<QLabel*>("label")->geometry();
      seen.message = dialog->findChild<QLabel*>("label")->text();
      QWidget* bar = dialog->findChild<QWidget*>("TitleContent")->parentWidget();
      seen.titleWidth = bar->width();
      QWidget* target = dialog->findChild<QPushButton*>(buttonToClick);
      QTest::mouseClick(target, Qt::LeftButton);
    });
  }

  Seen seen;
};

TEST_F(MessageDialogTest, WarningWithCancelReturnsWhatTheUserPressed) {
  const QString text = QStringLiteral("确认删除该文件吗？");
  {
    MessageDialog dialog;
    WhenShown("pushButton");
    EXPECT_EQ(dialog.Warning(text, true), QDialog::Accepted);
  }
  EXPECT_EQ(seen.message, text);
  EXPECT_TRUE(seen.okShown);
  EXPECT_TRUE(seen.cancelShown);
  // OK left of centre at a fifth of the free width, Cancel to its right, same row.
  EXPECT_EQ(seen.ok.x(), (seen.width - seen.ok.width()) / 5);
  EXPECT_EQ(seen.cancel.x(), seen.width - (seen.ok.width() * 6) / 5);
  EXPECT_LT(seen.ok.right(), seen.cancel.left());
  EXPECT_EQ(seen.ok.y(), 140);
  EXPECT_EQ(seen.cancel.y(), 140);
  EXPECT_EQ(seen.ok.height(), 40);

  MessageDialog second;
  WhenShown("pushButton_2");
  EXPECT_EQ(second.Warning(text, true), QDialog::Rejected);
}

TEST_F(MessageDialogTest, TitleBarCloseRejectsBothKinds) {
  {
    MessageDialog dialog;
    WhenShown("ButtonClose");
    EXPECT_EQ(dialog.Information(QStringLiteral("本次录制总共生成3个文件")), QDialog::Rejected);
  }
  MessageDialog dialog;
  WhenShown("ButtonClose");
  EXPECT_EQ(dialog.Warning(QStringLiteral("录制失败"), false), QDialog::Rejected);
}

TEST_F(MessageDialogTest, SizesItselfToTheText) {
  const QString text = QStringLiteral("磁盘空间不足10M，请清理磁盘!");
  MessageDialog dialog;
  WhenShown("pushButton");
  EXPECT_EQ(dialog.Information(text), QDialog::Accepted);
  QFont labelFont = dialog.findChild<QLabel*>("label")->font();
  const int advance = QFontMetrics(labelFont).horizontalAdvance(text);
  EXPECT_EQ(seen.width, ((advance + 40) * 3) / 2);
  EXPECT_EQ(seen.text.width(), advance);
  // Icon and text are centred together; the text starts 45 px after the icon.
  EXPECT_EQ(seen.icon.x(), (seen.width - 40 - advance - 5) / 2);
  EXPECT_EQ(seen.text.x(), seen.icon.x() + 45);
  EXPECT_EQ(seen.icon.size(), QSize(40, 40));
  // OK alone, centred; the title bar spans the widened dialog.
  EXPECT_FALSE(seen.cancelShown);
  EXPECT_EQ(seen.ok.x(), (seen.width - seen.ok.width()) / 2);
  EXPECT_EQ(seen.titleWidth, seen.width);
  EXPECT_TRUE(seen.width > 399);
}

TEST_F(MessageDialogTest, EmptyTextStillShowsIconAndOk) {
  MessageDialog dialog;
  WhenShown("pushButton");
  EXPECT_EQ(dialog.Warning(QString(), false), QDialog::Accepted);
  EXPECT_EQ(seen.width, 60);
  EXPECT_TRUE(seen.okShown);
  EXPECT_FALSE(seen.cancelShown);
}

TEST_F(MessageDialogTest, StaticHelpersRunModallyAndReturnOnOk) {
  QWidget parent;
  parent.show();
  WhenShown("pushButton");
  MessageDialog::ShowMessage(&parent, QStringLiteral("文件存储路径不存在！"));
  EXPECT_EQ(seen.message, QStringLiteral("文件存储路径不存在！"));
  EXPECT_FALSE(seen.cancelShown);
  WhenShown("pushButton");
  MessageDialog::ShowInformation(nullptr, QStringLiteral("本次录制总共生成2个文件"));
  EXPECT_EQ(seen.message, QStringLiteral("本次录制总共生成2个文件"));
}

TEST_F(MessageDialogTest, Screenshot) {
  MessageDialog dialog;
  QTimer::singleShot(0, [] {
    QWidget* d = QApplication::activeModalWidget();
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(d));
    EXPECT_TRUE(guitest::SaveScreenshot(d, "messagedialog"));
    QTest::mouseClick(d->findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  });
  dialog.Warning(QStringLiteral("确认删除该文件吗？"), true);
}

}  // namespace
