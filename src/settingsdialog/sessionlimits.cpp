#include "settingsdialog/sessionlimits.h"

#include <QLabel>

#include "platform/session_capabilities.h"
#include "ui_settingsdialog.h"

void ShowSessionLimits(Ui_SettingsDialog* ui) {
  const platform::SessionCapabilities& session = platform::GetSessionCapabilities();
  if (!session.globalHotKeys) {
    for (QWidget* w : {ui->comboBox_5, ui->comboBox_6, ui->comboBox_7, ui->comboBox_8})
      w->setEnabled(false);
    auto* note = new QLabel(ui->page_3);
    note->setObjectName("label_hotkey_session");
    note->setGeometry(20, 150, 480, 60);
    note->setWordWrap(true);
    note->setText(QStringLiteral("全局热键需要 X11 会话或支持全局快捷键的桌面。"
                                 "请用窗口上的按钮或托盘图标开始和停止录制。"));
  }
  if (!session.globalInput) {
    const QString why = QStringLiteral("Wayland 会话不让程序读取所有按键和点击，此功能不可用");
    for (QWidget* w : {static_cast<QWidget*>(ui->checkBox_4), static_cast<QWidget*>(ui->checkBox_5),
                       static_cast<QWidget*>(ui->checkBox_6),
                       static_cast<QWidget*>(ui->horizontalSlider),
                       static_cast<QWidget*>(ui->comboBox_4), static_cast<QWidget*>(ui->pushButton_5),
                       static_cast<QWidget*>(ui->pushButton_6), static_cast<QWidget*>(ui->pushButton_7),
                       static_cast<QWidget*>(ui->checkBox_8), static_cast<QWidget*>(ui->comboBox_10),
                       static_cast<QWidget*>(ui->pushButton_8)}) {
      w->setEnabled(false);
      w->setToolTip(why);
    }
  }
}
