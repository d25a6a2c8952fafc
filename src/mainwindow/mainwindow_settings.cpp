#include "mainwindow/mainwindow.h"
#include "settingsdialog/settingsdialog.h"

void MainWindow::onButtonSettingsClicked() {
  SettingsDialog dialog(nullptr);
  dialog.exec();
}
