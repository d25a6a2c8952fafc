#include "settingsdialog/settingsdialog.h"

#include <QSignalBlocker>

#include "recorder/audiodevices.h"
#include "settings.h"
#include "ui_settingsdialog.h"

void SettingsDialog::FillAudioCombo(QComboBox* combo, bool speakers) {
  Settings* settings = Settings::Instance();
  const std::string stored =
      (speakers ? settings->GetRecordSpeakerUnique() : settings->GetRecordMicUnique()).toStdString();
  std::vector<AudioDevice> devices;
  if (speakers)
    GetRenderDevices(devices);
  else
    GetCaptureDevices(devices);
  // Chosen by identifier: several endpoints may carry the same name. Without
  // the stored one (unplugged, or none stored) a recording takes the default
  // endpoint, which is then shown; nothing is stored by the fill.
  const QSignalBlocker blocker(combo);
  int current = -1, fallback = -1;
  for (const AudioDevice& device : devices) {
    if (device.id == stored) current = combo->count();
    if (device.isDefault) fallback = combo->count();
    combo->addItem(QString::fromStdString(device.name), QVariant::fromValue(device));
  }
  combo->setCurrentIndex(current >= 0 ? current : fallback);
}

void SettingsDialog::onSpeakerChanged(int index) {
  if (index == -1) return;
  const auto device = m_ui->comboBox_speakers->itemData(index).value<AudioDevice>();
  Settings::Instance()->SetRecordSpeakerUnique(QString::fromStdString(device.id));
}

void SettingsDialog::onMicChanged(int index) {
  if (index == -1) return;
  const auto device = m_ui->comboBox_mics->itemData(index).value<AudioDevice>();
  Settings::Instance()->SetRecordMicUnique(QString::fromStdString(device.id));
}
