#include "settingsdialog/settingsdialog.h"

#include <glog/logging.h>

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QRegExpValidator>
#include <QUrl>

#include "settings.h"
#include "settingsdialog/settingsdialogevents.h"
#include "ui_settingsdialog.h"
#include "utils_ui.h"
#include "widgets/messagedialog.h"

namespace {

struct RateItem {
  const char* text;
  double value;
  bool fractional;
};
constexpr RateItem kFrameRates[] = {
    {"5fps", 5, false},          {"10fps", 10, false},   {"20fps", 20, false},
    {"23.976fps", 23.976, true}, {"24fps", 24, false},   {"25fps", 25, false},
    {"29.97fps", 29.97, true},   {"30fps", 30, false},   {"60fps", 60, false},
    {"120fps", 120, false},
};
constexpr int kAudioBitRates[] = {64, 128, 192, 256, 320};
constexpr int kSampleRates[] = {8000, 11025, 22050, 44100, 48000, 96000};
constexpr unsigned int kDefaultSegmentMinutes = 30;
constexpr unsigned int kDefaultSegmentMegabytes = 100;

}  // namespace

void SettingsDialog::InitRecordPage() {
  Settings* settings = Settings::Instance();
  for (const RateItem& rate : kFrameRates) {
    if (rate.fractional)
      m_ui->comboBox->addItem(rate.text, rate.value);
    else
      m_ui->comboBox->addItem(rate.text, static_cast<int>(rate.value));
  }
  m_ui->comboBox->setCurrentText(
      QString::number(settings->GetRecordVideoframerate(), 'g', 6) + "fps");

  m_ui->imageQualitySlider->setMinimum(-51);
  m_ui->imageQualitySlider->setMaximum(0);
  m_ui->imageQualitySlider->setValue(settings->GetRecordQp());

  for (int rate : kAudioBitRates) m_ui->comboBox_2->addItem(QString::number(rate) + "kbps", rate);
  m_ui->comboBox_2->setCurrentText(QString::number(settings->GetRecordAudiobitrate()) + "kbps");
  for (int rate : kSampleRates) m_ui->comboBox_3->addItem(QString::number(rate) + "Hz", rate);
  m_ui->comboBox_3->setCurrentText(QString::number(settings->GetRecordAudiofrequency()) + "Hz");

  m_ui->lineEdit->setText(settings->GetGeneralFilesaveurl());

  const int mode = settings->GetRecordFilesegment();
  m_ui->checkBox_segment->setChecked(mode == 1 || mode == 2);
  EnableSegmentControls(m_ui->checkBox_segment->isChecked());
  m_ui->radioButton_3->setChecked(mode == 1);
  m_ui->radioButton_4->setChecked(mode == 2);
  // 0 (nothing stored) would never split a file: show the defaults instead.
  const unsigned int megabytes = settings->GetRecordFssize();
  const unsigned int minutes = settings->GetRecordFsduration();
  m_ui->lineEdit_3->setText(QString::number(megabytes ? megabytes : kDefaultSegmentMegabytes));
  m_ui->lineEdit_2->setText(QString::number(minutes ? minutes : kDefaultSegmentMinutes));
  connect(m_ui->checkBox_segment, &QCheckBox::stateChanged, this,
          &SettingsDialog::onSegmentStateChanged);
  const QRegExp number("[1-9][0-9]{0,3}", Qt::CaseSensitive, QRegExp::RegExp);
  m_ui->lineEdit_2->setValidator(new QRegExpValidator(number, m_ui->lineEdit_2));
  m_ui->lineEdit_3->setValidator(new QRegExpValidator(number, m_ui->lineEdit_3));
}

void SettingsDialog::EnableSegmentControls(bool on) {
  m_ui->radioButton_3->setEnabled(on);
  m_ui->radioButton_4->setEnabled(on);
  m_ui->lineEdit_2->setEnabled(on);
  m_ui->lineEdit_3->setEnabled(on);
}

void SettingsDialog::onSegmentStateChanged(int state) { EnableSegmentControls(state != 0); }

void SettingsDialog::on_pushButton_clicked() {
  QFileDialog dialog(nullptr, QString(), QString(), QString());
  dialog.setFileMode(QFileDialog::Directory);
  // The folder chosen, not the one shown around it.
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    m_ui->lineEdit->setText(QDir(dialog.selectedFiles().first()).absolutePath());
}

void SettingsDialog::on_pushButton_2_clicked() {
  const QString folder = m_ui->lineEdit->text();
  if (folder.isEmpty()) return;
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
    LOG(WARNING) << "cannot open the folder " << folder.toStdString();
}

bool SettingsDialog::CheckSegmentValues() {
  if (!m_ui->checkBox_segment->isChecked()) return true;
  const bool byTime = m_ui->radioButton_3->isChecked();
  const QLineEdit* field = byTime ? m_ui->lineEdit_2 : m_ui->lineEdit_3;
  if (field->text().toInt(nullptr, 10) > 0) return true;
  MessageDialog::ShowMessage(this, byTime ? QStringLiteral("每段录制时间不能为0!")
                                          : QStringLiteral("每段文件大小不能为0!"));
  return false;
}

void SettingsDialog::SaveRecordPage() {
  Settings* settings = Settings::Instance();
  settings->SetRecordVideoframerate(m_ui->comboBox->currentData().toDouble());
  settings->SetRecordQp(m_ui->imageQualitySlider->value());
  settings->SetRecordAudiobitrate(m_ui->comboBox_2->currentData().toInt());
  settings->SetRecordAudiofrequency(m_ui->comboBox_3->currentData().toInt());
  int mode = 0;
  if (m_ui->checkBox_segment->isChecked()) mode = m_ui->radioButton_3->isChecked() ? 1 : 2;
  settings->SetRecordFilesegment(mode);
  settings->SetRecordFsduration(m_ui->lineEdit_2->text().toInt(nullptr, 10));
  settings->SetRecordFssize(m_ui->lineEdit_3->text().toInt(nullptr, 10));
}

void SettingsDialog::SaveFolder() {
  Settings* settings = Settings::Instance();
  const QString folder = m_ui->lineEdit->text();
  if (folder == settings->GetGeneralFilesaveurl()) return;
  settings->SetGeneralFilesaveurl(folder);
  PostToMainWindow(new MediaFilesReloadEvent());
}
