#include "settingsdialog/settingsdialog.h"

#include "settings.h"
#include "settingsdialog/keymousedisplay.h"
#include "settingsdialog/monitorlist.h"
#include "settingsdialog/settingsdialog_pickers.h"
#include "ui_settingsdialog.h"
#include "utils_ui.h"

void SettingsDialog::InitMousePage() {
  Settings* settings = Settings::Instance();
  m_ui->checkBox_2->setChecked(settings->GetGeneralRecordmouse());
  m_ui->checkBox_8->setChecked(settings->GetKeymouseHighlight());
  for (int d = 15; d <= 50; ++d) m_ui->comboBox_10->addItem(QString::number(d), d);
  m_ui->comboBox_10->setCurrentText(QString::number(settings->GetKeymouseHaloDiameter()));
  connect(m_ui->pushButton_8, &QPushButton::clicked, this,
          &SettingsDialog::onHighlightColorClicked);
}

void SettingsDialog::InitKeyboardPage() {
  Settings* settings = Settings::Instance();
  m_ui->checkBox_4->setChecked(settings->GetKeymouseShowkeystroke());
  m_ui->checkBox_5->setChecked(settings->GetKeymouseShowcombinekey());
  m_ui->checkBox_6->setChecked(settings->GetKeymouseShowcommonkey());
  m_ui->horizontalSlider->setMinimum(10);
  m_ui->horizontalSlider->setMaximum(100);
  m_ui->horizontalSlider->setValue(settings->GetKeymouseBackgroundopacity());
  for (const MonitorItem& monitor : GetMonitors())
    m_ui->comboBox_4->addItem(QString::fromStdWString(monitor.deviceName));
  const QString screen = settings->GetKeymouseDisplayscreen();
  if (!screen.isEmpty()) m_ui->comboBox_4->setCurrentText(screen);
  EnableKeyboardControls(settings->GetKeymouseShowkeystroke());
  connect(m_ui->comboBox_4, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
          &SettingsDialog::onKeyScreenChanged);
  connect(m_ui->checkBox_4, &QCheckBox::stateChanged, this,
          &SettingsDialog::onKeyMouseStateChanged);
  connect(m_ui->pushButton_7, &QPushButton::clicked, this, &SettingsDialog::onKeyBackgroundColor);
  connect(m_ui->pushButton_5, &QPushButton::clicked, this, &SettingsDialog::onKeyFont);
  connect(m_ui->pushButton_6, &QPushButton::clicked, this, &SettingsDialog::onKeyColor);
}

void SettingsDialog::EnableKeyboardControls(bool on) {
  m_ui->checkBox_5->setEnabled(on);
  m_ui->checkBox_6->setEnabled(on);
  m_ui->horizontalSlider->setEnabled(on);
  m_ui->comboBox_4->setEnabled(on);
  m_ui->pushButton_5->setEnabled(on);
  m_ui->pushButton_6->setEnabled(on);
  m_ui->pushButton_7->setEnabled(on);
}

void SettingsDialog::onKeyMouseStateChanged(int state) { EnableKeyboardControls(state != 0); }

void SettingsDialog::onKeyScreenChanged(int) {
  Settings::Instance()->SetKeymouseDisplayscreen(m_ui->comboBox_4->currentText());
}

void SettingsDialog::onKeyColor() {
  bool accepted = false;
  const QColor color = PickColor(Settings::Instance()->GetKeymouseColor(), &accepted);
  if (accepted) Settings::Instance()->SetKeymouseColor(color);
}

void SettingsDialog::onKeyBackgroundColor() {
  bool accepted = false;
  const QColor color = PickColor(Settings::Instance()->GetKeymouseBackgroundcolor(), &accepted);
  if (accepted) Settings::Instance()->SetKeymouseBackgroundcolor(color);
}

void SettingsDialog::onHighlightColorClicked() {
  bool accepted = false;
  const QColor color = PickColor(Settings::Instance()->GetKeymouseMouseColor(), &accepted);
  if (accepted) Settings::Instance()->SetKeymouseMouseColor(color);
}

void SettingsDialog::onKeyFont() {
  bool accepted = false;
  const QFont font = PickFont(Settings::Instance()->GetKeymouseFont(), &accepted);
  if (accepted) Settings::Instance()->SetKeymouseFont(font);
}

void SettingsDialog::SaveKeyboardAndMouse() {
  Settings* settings = Settings::Instance();
  settings->SetKeymouseShowkeystroke(m_ui->checkBox_4->isChecked());
  settings->SetKeymouseShowcombinekey(m_ui->checkBox_5->isChecked());
  settings->SetKeymouseShowcommonkey(m_ui->checkBox_6->isChecked());
  settings->SetKeymouseBackgroundopacity(m_ui->horizontalSlider->value());
  settings->SetKeymouseDisplayscreen(m_ui->comboBox_4->currentText());
  settings->SetGeneralRecordmouse(m_ui->checkBox_2->isChecked());
  settings->SetKeymouseHighlight(m_ui->checkBox_8->isChecked());
  settings->SetKeymouseHaloDiameter(m_ui->comboBox_10->currentData().toInt());
}

void SettingsDialog::ApplyKeyMouseOverlay(bool show) {
  if (show)
    ApplyKeyMouseSettings();
  else
    KeyMouseDisplay::Instance()->UninstallHook();
}
