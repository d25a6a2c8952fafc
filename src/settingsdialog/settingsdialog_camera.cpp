#include "settingsdialog/settingsdialog.h"

#include <QSignalBlocker>

#include "camera/camerapreviewer.h"
#include "camera/deviceinfods.h"
#include "settings.h"
#include "settingsdialog/settingsdialogevents.h"
#include "ui_settingsdialog.h"
#include "utils_ui.h"

namespace {

// The camera of a running recording is busy.
bool IsCameraBusy(const std::string& id) {
  RecordingQueryEvent recording;
  return SendToMainWindow(&recording) && recording.cameraId == id;
}

}  // namespace

void SettingsDialog::InitCameraPage() {
  m_ui->checkBox_7->setChecked(Settings::Instance()->GetRecordCameraSwitch());
  if (m_ui->checkBox_7->isChecked()) FillCameraList();
  connect(m_ui->checkBox_7, &QCheckBox::stateChanged, this,
          &SettingsDialog::onRecordCameraChanged);
  connect(m_ui->comboBox_9, QOverload<int>::of(&QComboBox::activated), this,
          &SettingsDialog::onCameraChanged);
}

void SettingsDialog::FillCameraList() {
  RegisterDeviceInfoMetaType();
  const QSignalBlocker blocker(m_ui->comboBox_9);
  m_ui->comboBox_9->clear();
  std::vector<DeviceInfo> devices;
  EnumVideoDevices(devices);
  QString storedId, storedName;
  Settings::Instance()->GetRecordCamera(storedId, storedName);
  // The stored camera as a recording finds it, also from an older id.
  platform::CameraDevice stored;
  DeviceInfoDS().FindDevice(storedId.toStdString(), storedName.toStdString(), &stored);
  QString current;
  for (const DeviceInfo& device : devices) {
    const QString name = QString::fromStdString(device.name);
    if (!stored.id.empty() && device.id == stored.id.substr(0, 255)) current = name;
    m_ui->comboBox_9->addItem(name, QVariant::fromValue(device));
  }
  if (!current.isEmpty()) {
    m_ui->comboBox_9->setCurrentText(current);
  } else if (storedId.isEmpty() && storedName.isEmpty()) {
    // Nothing stored to keep: the camera shown is the one a recording takes.
    // It is stored, not started: its page may not be showing.
    const DeviceInfo first = m_ui->comboBox_9->itemData(0).value<DeviceInfo>();
    if (m_ui->comboBox_9->count() > 0 && !IsCameraBusy(first.id))
      Settings::Instance()->SetRecordCamera(QString::fromStdString(first.id),
                                            QString::fromStdString(first.name));
  } else {
    // An unplugged camera stays the chosen one, shown as absent: a recording
    // shows no camera until the user picks another.
    m_ui->comboBox_9->setCurrentIndex(-1);
    m_ui->comboBox_9->setPlaceholderText(
        QStringLiteral("%1（未连接）").arg(storedName.isEmpty() ? storedId : storedName));
  }
}

// Runs the camera only while its page shows.
void SettingsDialog::onRecordCameraChanged(int) {
  if (!m_ui->checkBox_7->isChecked()) return;
  FillCameraList();
  if (m_ui->stackedWidget->currentWidget() == m_ui->page_8 && m_ui->comboBox_9->currentIndex() >= 0)
    PreviewCamera(m_ui->comboBox_9->currentIndex());
}

void SettingsDialog::onCameraChanged(int index) {
  const DeviceInfo device = m_ui->comboBox_9->itemData(index).value<DeviceInfo>();
  if (IsCameraBusy(device.id)) return;
  Settings::Instance()->SetRecordCamera(QString::fromStdString(device.id),
                                        QString::fromStdString(device.name));
  PreviewCamera(index);
}

void SettingsDialog::PreviewCamera(int index) {
  const DeviceInfo device = m_ui->comboBox_9->itemData(index).value<DeviceInfo>();
  const std::string& id = device.id;
  const std::string& name = device.name;
  if (IsCameraBusy(id) || (id.empty() && name.empty())) return;

  m_cameraPreviewer = std::make_unique<CameraPreviewer>();
  VideoCaptureCapability capability;
  if (DeviceInfoDS* info = CreateDeviceInfoDS()) {
    capability = ChoosePreviewCapability(info, id, name);
    delete info;
  }
  if (capability.width <= 0) return;
  QLabel* area = m_ui->label_video_area;
  area->setFixedHeight(int(double(area->width()) * std::abs(capability.height) / capability.width));
  m_cameraPreviewer->Init(id, name, area, capability);
}
