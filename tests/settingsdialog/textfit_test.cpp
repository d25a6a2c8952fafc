// Every text of the settings dialog, the pickers and the main window's
// option boxes fits its widget at the fonts the desktop has.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QStyleOptionComboBox>
#include <QTextDocument>

#include "../mainwindow/guitestenv.h"
#include "mainwindow/mainwindow.h"
#include "platform/backend.h"
#include "settings.h"
#include "settingsdialog/monitorpreviewdialog.h"
#include "settingsdialog/regionrecorddialog.h"
#include "settingsdialog/settingsdialog.h"
#include "settingsdialog/windowsnapshotdialog.h"

namespace {

QString Where(const QWidget* w) {
  return w->objectName() + " in " + w->window()->objectName();
}

// Texts wider than the room their widget gives them.
QStringList Clipped(QWidget* root) {
  QStringList clipped;
  root->ensurePolished();
  for (QWidget* w : root->findChildren<QWidget*>()) w->ensurePolished();
  for (QComboBox* combo : root->findChildren<QComboBox*>()) {
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = combo->isEditable();
    option.frame = combo->hasFrame();
    const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                       QStyle::SC_ComboBoxEditField, combo);
    for (int i = 0; i < combo->count(); ++i) {
      const int advance = combo->fontMetrics().horizontalAdvance(combo->itemText(i));
      if (advance > field.width())
        clipped << QString("%1 (%2 > %3) %4")
                       .arg(combo->itemText(i))
                       .arg(advance)
                       .arg(field.width())
                       .arg(Where(combo));
    }
  }
  for (QLabel* label : root->findChildren<QLabel*>()) {
    if (label->wordWrap() || label->text().isEmpty() || label->textFormat() == Qt::RichText ||
        Qt::mightBeRichText(label->text()))
      continue;
    const QRect room = label->contentsRect();
    const int advance = label->fontMetrics().horizontalAdvance(label->text());
    const int ink = label->fontMetrics().tightBoundingRect(label->text()).height();
    if (advance > room.width() || ink > room.height())
      clipped << QString("%1 (%2x%3 > %4x%5) %6")
                     .arg(label->text())
                     .arg(advance)
                     .arg(ink)
                     .arg(room.width())
                     .arg(room.height())
                     .arg(Where(label));
  }
  for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
    if (button->text().isEmpty()) continue;
    const QSize hint = button->sizeHint();
    if (hint.width() > button->width() || hint.height() > button->height())
      clipped << QString("%1 (%2x%3 > %4x%5) %6")
                     .arg(button->text())
                     .arg(hint.width())
                     .arg(hint.height())
                     .arg(button->width())
                     .arg(button->height())
                     .arg(Where(button));
  }
  return clipped;
}

TEST(TextFit, SettingsDialogPickersAndMainWindowOptions) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
  platform::Backend::Use(platform::BackendKind::X11);
  guitest::App();
  testsupport::TempDir home;
  setenv("XDG_CONFIG_HOME", (home.path() + "/config").c_str(), 1);
  ASSERT_TRUE(Settings::Instance()->Init());

  SettingsDialog settings(nullptr);
  settings.show();
  MonitorPreviewDialog monitors;
  monitors.show();
  WindowSnapshotDialog windows(nullptr);
  windows.show();
  RegionRecordDialog region;
  MainWindow main;
  main.show();
  QApplication::processEvents();
  QStringList clipped =
      Clipped(&settings) + Clipped(&monitors) + Clipped(&windows) + Clipped(&region);
  // The record page's three option boxes with their captions.
  clipped += Clipped(main.findChild<QComboBox*>("comboBox_audio")->parentWidget());
  EXPECT_TRUE(clipped.isEmpty()) << clipped.join("\n").toStdString();
}

}  // namespace

// Laid out as the program lays out its windows.
int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
  QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
  QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
      Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
