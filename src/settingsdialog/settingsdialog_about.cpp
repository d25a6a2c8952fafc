#include "settingsdialog/settingsdialog.h"

#include <glog/logging.h>

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "platform/modules.h"

void SettingsDialog::on_pushButton_9_clicked(bool) {
  // The notices file is shipped beside the program; the desktop's viewer
  // opens it.
  const QString path = QString::fromStdString(platform::ProgramFolder()) + "/license.txt";
  if (!QFileInfo::exists(path)) {
    LOG(ERROR) << "notices file not found: " << path.toStdString();
    return;
  }
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
    LOG(WARNING) << "cannot open " << path.toStdString();
}
