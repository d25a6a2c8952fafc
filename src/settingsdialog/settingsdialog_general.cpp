#include "settingsdialog/settingsdialog.h"

#include "platform/shell.h"
#include "platform/windows.h"
#include "settings.h"
#include "ui_settingsdialog.h"
#include "utils.h"

namespace {

constexpr char kAutoRunName[] = "korvorec";

}  // namespace

void SettingsDialog::InitGeneralPage() {
  Settings* settings = Settings::Instance();
  m_ui->checkBox->setChecked(settings->GetGeneralHideWhenRecord());
  m_ui->checkBox_3->setChecked(settings->GetRecordAutorun());
  m_ui->checkBox_nocapturelocalwnd->setChecked(settings->GetGeneralNocapWndWhenRecord());
  m_ui->checkBox_hide_desktop_icon->setChecked(settings->GetGeneralHideDesktopIcon());
  m_ui->checkBox_hide_task_bar->setChecked(settings->GetGeneralHideTaskbar());
  // What this desktop does not let the program do is shown but cannot be ticked.
  const auto unavailable = [](QCheckBox* box, const QString& why) {
    box->setEnabled(false);
    box->setToolTip(why);
  };
  if (!platform::Windows().CanExcludeFromCapture())
    unavailable(m_ui->checkBox_nocapturelocalwnd,
                QStringLiteral("此系统不能把窗口排除在屏幕录制之外"));
  if (!platform::CanHideDesktopIcons())
    unavailable(m_ui->checkBox_hide_desktop_icon, QStringLiteral("此系统不支持隐藏桌面图标"));
  if (!platform::CanHideTaskbar())
    unavailable(m_ui->checkBox_hide_task_bar, QStringLiteral("此系统不支持隐藏任务栏"));
  m_ui->checkBox_record_status->setChecked(settings->GetGeneralRecordStatusBar());
  const bool hide = settings->GetGeneralHidewhenclose();
  m_ui->radioButton->setChecked(hide);
  m_ui->radioButton_2->setChecked(!hide);
}

void SettingsDialog::SaveGeneralPage() {
  Settings* settings = Settings::Instance();
  settings->SetGeneralHideWhenRecord(m_ui->checkBox->isChecked());
  settings->SetGeneralNocapWndWhenRecord(m_ui->checkBox_nocapturelocalwnd->isChecked());
  settings->SetGeneralHideDesktopIcon(m_ui->checkBox_hide_desktop_icon->isChecked());
  settings->SetGeneralHideTaskbar(m_ui->checkBox_hide_task_bar->isChecked());
  settings->SetGeneralRecordStatusBar(m_ui->checkBox_record_status->isChecked());
  const bool autorun = m_ui->checkBox_3->isChecked();
  settings->SetRecordAutorun(autorun);
  if (autorun)
    SetAutoRun(kAutoRunName);
  else
    DeleteAutoRun(kAutoRunName);
  settings->SetGeneralHidewhenclose(m_ui->radioButton->isChecked());
}
