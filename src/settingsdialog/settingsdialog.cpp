#include "settingsdialog/settingsdialog.h"

#include <glog/logging.h>

#include <QColorDialog>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QKeySequence>
#include <QRegExpValidator>
#include <QSignalBlocker>
#include <QUrl>

#include "camera/camerapreviewer.h"
#include "camera/deviceinfods.h"
#include "constants.h"
#include "mainwindow/customtitlebar.h"
#include "mainwindow/globalhotkey.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/mediafilesreloadevent.h"
#include "mainwindow/messagedialog.h"
#include "mainwindow/widgetstyle.h"
#include "platform/modules.h"
#include "platform/shell.h"
#include "platform/windows.h"
#include "recorder/audiodevices.h"
#include "settings.h"
#include "settingsdialog/keymousedisplay.h"
#include "settingsdialog/monitorlist.h"
#include "settingsdialog/sessionlimits.h"
#include "settingsdialog/watermarkpreviewer.h"
#include "ui_settingsdialog.h"
#include "utils.h"
#include "utils_ui.h"

namespace {

constexpr char kAutoRunName[] = "korvorec";

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

QColor PickColor(const QColor& stored, bool* accepted) {
  QColorDialog dialog(nullptr);
  if (stored.isValid()) dialog.setCurrentColor(stored);
  *accepted = dialog.exec() == QDialog::Accepted;
  return dialog.selectedColor();
}

QFont PickFont(const QFont& stored, bool* accepted) {
  QFontDialog dialog(nullptr);
  if (!stored.family().isEmpty()) dialog.setCurrentFont(stored);
  *accepted = dialog.exec() == QDialog::Accepted;
  return dialog.currentFont();
}

// The recorder draws an unset watermark colour in red; the preview matches.
QColor WatermarkColor() {
  const QColor color = Settings::Instance()->GetWatermarkColor();
  return color.isValid() ? color : QColor(Qt::red);
}

void ExcludeFromCapture(QWidget* window, bool excluded) {
  const platform::Result result = platform::Windows().SetExcludedFromCapture(
      static_cast<platform::WindowId>(window->winId()), excluded);
  static bool logged = false;
  if (result != platform::Result::Ok && !logged) {
    logged = true;
    LOG(INFO) << "windows stay visible to screen captures: " << platform::ResultName(result);
  }
}

// The camera of a running recording is busy.
bool IsCameraBusy(const std::string& id) {
  MainWindow* main = FindMainWindow();
  return main && main->GetRecordingCameraId() == id;
}

}  // namespace

SettingsDialog::SettingsDialog(QWidget* parent)
    : FramelessDialog(parent),
      m_ui(new Ui_SettingsDialog),
      m_pageDelegate(this),
      m_pageModel(this) {
  qRegisterMetaType<AudioDevice>("AudioDevice");
  m_ui->setupUi(this);
  SetupControls();
}

SettingsDialog::~SettingsDialog() {
  SetExcludeFromCapture(true);
  m_cameraPreviewer.reset();
  delete m_ui;
}

bool SettingsDialog::eventFilter(QObject* watched, QEvent* event) {
  return QObject::eventFilter(watched, event);
}

void SettingsDialog::paintEvent(QPaintEvent* event) { QWidget::paintEvent(event); }

void SettingsDialog::closeEvent(QCloseEvent*) {}

void SettingsDialog::InitTitleBar() {
  m_titleBar = new CustomTitleBar(this);
  m_titleBar->move(0, 0);
  connect(m_titleBar, &CustomTitleBar::signalButtonCloseClicked, this,
          &SettingsDialog::onButtonCloseClicked);
  m_titleBar->SetButtonType(4);
  m_titleBar->setFixedWidth(width());
  m_titleBar->setFixedHeight(50);
  m_titleBar->SetTitleContent(QStringLiteral("设置"), 9);
}

void SettingsDialog::SetExcludeFromCapture(bool restore) {
  if (restore) {
    ExcludeFromCapture(this, false);
    return;
  }
  ExcludeFromCapture(this, true);
  if (MainWindow* window = FindMainWindow()) ExcludeFromCapture(window, true);
}

void SettingsDialog::AddPage(const QString& name) {
  auto* item = new QStandardItem;
  item->setData(name, Qt::DisplayRole);
  item->setEditable(false);  // a double-click must not rename a page
  m_pageModel.appendRow(item);
}

void SettingsDialog::SetupControls() {
  Settings* settings = Settings::Instance();
  InitTitleBar();
  SetExcludeFromCapture(!settings->GetGeneralNocapWndWhenRecord());

  for (const char* name : {"通用", "录制", "计划录制", "视频设备", "音频设备", "水印", "键盘设置",
                           "鼠标设置", "快捷键", "关于"})
    AddPage(QString::fromUtf8(name));
  m_ui->listView->setModel(&m_pageModel);
  m_ui->listView->setItemDelegate(&m_pageDelegate);
  m_ui->listView->setCurrentIndex(m_pageModel.index(0, 0));
  m_ui->stackedWidget->setCurrentIndex(0);

  InitGeneralPage();
  InitRecordPage();
  InitSchedulePage();
  InitCameraPage();
  InitMousePage();
  // Devices are stored when the user picks one, never by filling a list.
  connect(m_ui->comboBox_speakers, QOverload<int>::of(&QComboBox::activated), this,
          &SettingsDialog::onSpeakerChanged);
  connect(m_ui->comboBox_mics, QOverload<int>::of(&QComboBox::activated), this,
          &SettingsDialog::onMicChanged);

  // The schedule is left alone for the whole dialog when a recording runs at
  // its opening, also when that recording ends before the dialog closes.
  MainWindow* window = FindMainWindow();
  m_scheduleLocked = !window || window->IsRecording();
  if (window && window->IsRecording()) {
    LOG(INFO) << "disable all controls";
    m_ui->checkBox_scheduleRecord->setEnabled(false);
    EnableScheduleControls(false);
  }

  InitWatermarkPage();
  InitHotKeyPage();
  m_ui->label_version->setText(QString::fromUtf8(kAppVersion));
  InitKeyboardPage();
  ShowSessionLimits(m_ui);
  InitStyles();
}

void SettingsDialog::InitStyles() {
  StyleFactory* factory = StyleFactory::Instance();
  m_comboBoxStyle.reset(factory->CreateStyle(0));
  if (!m_comboBoxStyle) return;
  m_comboBoxStyle->Apply(this);
  m_pushButtonStyle.reset(factory->CreateStyle(1));
  if (m_pushButtonStyle) {
    m_pushButtonStyle->Apply(m_ui->page_2);
    m_pushButtonStyle->Apply(m_ui->page_5);
    m_pushButtonStyle->Apply(m_ui->page_9);
  }
  m_lineEditStyle.reset(factory->CreateStyle(2));
  if (m_lineEditStyle) m_lineEditStyle->Apply(this);
  m_checkBoxStyle.reset(factory->CreateStyle(3));
  if (m_checkBoxStyle) m_checkBoxStyle->Apply(this);
  m_radioButtonStyle.reset(factory->CreateStyle(4));
  if (m_radioButtonStyle) m_radioButtonStyle->Apply(this);
  m_sliderStyle.reset(factory->CreateStyle(6));
  if (m_sliderStyle) m_sliderStyle->Apply(this);
}

// --- general and recording pages ---

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

// --- scheduled recording ---

void SettingsDialog::InitSchedulePage() {
  Settings* settings = Settings::Instance();
  m_ui->comboBox_behavior->addItem(QStringLiteral("不作任何操作"), 0);
  m_ui->comboBox_behavior->addItem(QStringLiteral("退出Korvo录屏"), 1);
  m_ui->comboBox_behavior->addItem(QStringLiteral("睡眠"), 2);
  m_ui->comboBox_behavior->addItem(QStringLiteral("关机"), 3);

  const bool on = settings->GetRecordEnableRecordSchedule();
  m_ui->checkBox_scheduleRecord->setChecked(on);
  if (on) {
    QDateTime start, end;
    uint64_t duration = 0;
    int action = 0;
    if (settings->GetRecordRecordTask(start, end, duration, action)) {
      // Fields the task leaves open show real times, not the form's 2000/1/1.
      if (!start.isValid()) start = QDateTime::currentDateTime().addSecs(10);
      m_ui->dateTimeEdit->setDateTime(start);
      m_ui->dateTimeEdit_2->setDateTime(start.addSecs(duration != 0 ? duration : 60));
      // The store keeps "no stop time" as 0.
      if (end.isValid() && end.toSecsSinceEpoch() != 0) {
        m_ui->dateTimeEdit_2->setDateTime(end);
        m_ui->radioButton_stoptime->setChecked(true);
      }
      if (duration != 0) {
        m_ui->radioButton_recorddruation->setChecked(true);
        m_ui->timeEdit->setTime(QTime(static_cast<int>(duration / 3600),
                                      static_cast<int>((duration % 3600) / 60),
                                      static_cast<int>((duration % 3600) % 60)));
      }
      m_ui->comboBox_behavior->setCurrentIndex(action);
    }
  } else {
    m_ui->radioButton_stoptime->setChecked(true);
    const QDateTime start = QDateTime::currentDateTime().addSecs(10);
    m_ui->dateTimeEdit->setDateTime(start);
    m_ui->dateTimeEdit_2->setDateTime(start.addSecs(60));
  }
  EnableScheduleControls(m_ui->checkBox_scheduleRecord->isChecked());
  connect(m_ui->checkBox_scheduleRecord, &QCheckBox::stateChanged, this,
          &SettingsDialog::onScheduleRecordStateChanged);
  const auto edited = [this] { m_scheduleEdited = true; };
  connect(m_ui->checkBox_scheduleRecord, &QCheckBox::stateChanged, this, edited);
  connect(m_ui->dateTimeEdit, &QDateTimeEdit::dateTimeChanged, this, edited);
  connect(m_ui->dateTimeEdit_2, &QDateTimeEdit::dateTimeChanged, this, edited);
  connect(m_ui->timeEdit, &QTimeEdit::timeChanged, this, edited);
  connect(m_ui->radioButton_stoptime, &QRadioButton::toggled, this, edited);
  connect(m_ui->radioButton_recorddruation, &QRadioButton::toggled, this, edited);
  connect(m_ui->comboBox_behavior, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
          edited);
}

void SettingsDialog::EnableScheduleControls(bool on) {
  m_ui->dateTimeEdit->setEnabled(on);
  m_ui->dateTimeEdit_2->setEnabled(on);
  m_ui->timeEdit->setEnabled(on);
  m_ui->comboBox_behavior->setEnabled(on);
  m_ui->radioButton_stoptime->setEnabled(on);
  m_ui->radioButton_recorddruation->setEnabled(on);
}

void SettingsDialog::onScheduleRecordStateChanged(int state) {
  EnableScheduleControls(state != 0);
}

bool SettingsDialog::ReadScheduleTask(ScheduleTask* task) {
  task->start = m_ui->dateTimeEdit->dateTime();
  if (task->start <= QDateTime::currentDateTime()) {
    MessageDialog::ShowMessage(this, QStringLiteral("计划录制开始时间不能小于等于当前时间!"));
    return false;
  }
  task->end = QDateTime();
  task->duration = 0;
  if (m_ui->radioButton_stoptime->isChecked()) {
    task->end = m_ui->dateTimeEdit_2->dateTime();
    if (task->end <= task->start) {
      MessageDialog::ShowMessage(this, QStringLiteral("计划录制结束时间不能小于等于开始时间!"));
      return false;
    }
  } else {
    const QTime time = m_ui->timeEdit->time();
    task->duration =
        static_cast<uint64_t>(time.hour()) * 3600 + time.minute() * 60 + time.second();
    LOG(INFO) << "record duration is " << task->duration;
    // A recording without a stop time and without a length would never stop.
    if (task->duration == 0) {
      MessageDialog::ShowMessage(this, QStringLiteral("计划录制时长不能为0!"));
      return false;
    }
  }
  task->action = m_ui->comboBox_behavior->currentData().toInt();
  return true;
}

void SettingsDialog::SaveSchedulePage(const ScheduleTask& task) {
  Settings* settings = Settings::Instance();
  const bool on = m_ui->checkBox_scheduleRecord->isChecked();
  // The flag goes on only together with the task it runs.
  if (on) settings->SetRecordRecordTask(task.start, task.end, task.duration, task.action);
  settings->SetRecordEnableRecordSchedule(on);
}

// --- video and audio devices ---

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

// --- page list ---

void SettingsDialog::on_listView_clicked(const QModelIndex& index) {
  m_ui->listView->viewport()->update();
  const int row = index.row();
  m_ui->stackedWidget->setCurrentIndex(row);
  if (row == 4) {
    if (m_ui->comboBox_speakers->count() == 0) FillAudioCombo(m_ui->comboBox_speakers, true);
    if (m_ui->comboBox_mics->count() == 0) FillAudioCombo(m_ui->comboBox_mics, false);
  }
  if (row != 3) m_cameraPreviewer.reset();
  if (row == 3 && m_ui->checkBox_7->isChecked() && m_ui->comboBox_9->currentIndex() >= 0)
    PreviewCamera(m_ui->comboBox_9->currentIndex());
}

int SettingsDialog::ShowPage(int page) {
  m_ui->listView->viewport()->update();
  m_ui->listView->setCurrentIndex(m_pageModel.index(page, 0));
  m_ui->stackedWidget->setCurrentIndex(page);
  return exec();
}

// --- watermark, keyboard and mouse ---

void SettingsDialog::InitMousePage() {
  Settings* settings = Settings::Instance();
  m_ui->checkBox_2->setChecked(settings->GetGeneralRecordmouse());
  m_ui->checkBox_8->setChecked(settings->GetKeymouseHighlight());
  for (int d = 15; d <= 50; ++d) m_ui->comboBox_10->addItem(QString::number(d), d);
  m_ui->comboBox_10->setCurrentText(QString::number(settings->GetKeymouseHaloDiameter()));
  connect(m_ui->pushButton_8, &QPushButton::clicked, this,
          &SettingsDialog::onHighlightColorClicked);
}

void SettingsDialog::InitWatermarkPage() {
  Settings* settings = Settings::Instance();
  const QString text = settings->GetWatermarkText();
  m_ui->lineEdit_textwatermark->setText(text);
  m_watermarkPreviewer = new WatermarkPreviewer(m_ui->page_5);
  m_watermarkPreviewer->SetPreviewHeight(245);
  m_watermarkPreviewer->SetText(text);
  m_watermarkPreviewer->SetTextColor(WatermarkColor());
  m_watermarkPreviewer->SetTextFont(settings->GetWatermarkFont());
  double x = 0, y = 0;
  if (settings->GetWatermarkPos(x, y)) m_watermarkPreviewer->SetRelativePos(x, y);
  m_watermarkPreviewer->move(10, 120);
  m_watermarkPreviewer->show();
  connect(m_ui->lineEdit_textwatermark, &QLineEdit::textChanged, this,
          &SettingsDialog::onWatermarkChanged);
  connect(m_ui->btn_wm_full_preview, &QPushButton::clicked, this,
          &SettingsDialog::onWatermarkPreview);
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

void SettingsDialog::onWatermarkChanged(const QString& text) {
  m_watermarkPreviewer->SetText(text);
}

void SettingsDialog::on_pushButton_3_clicked() {
  bool accepted = false;
  const QFont font = PickFont(Settings::Instance()->GetWatermarkFont(), &accepted);
  if (!accepted) return;
  Settings::Instance()->SetWatermarkFont(font);
  m_watermarkPreviewer->SetTextFont(font);
}

void SettingsDialog::on_pushButton_4_clicked() {
  bool accepted = false;
  const QColor color = PickColor(Settings::Instance()->GetWatermarkColor(), &accepted);
  if (!accepted) return;
  Settings::Instance()->SetWatermarkColor(color);
  m_watermarkPreviewer->SetTextColor(color);
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

void SettingsDialog::onWatermarkPreview() {
  double x = 0, y = 0;
  m_watermarkPreviewer->GetRelativePos(x, y);
  // Save first: a refused save keeps this dialog open, and a full-screen
  // window on top of it would hide the message.
  if (!SaveSettings()) return;
  Settings* settings = Settings::Instance();
  auto* full = new WatermarkPreviewer(this);
  full->SetText(m_ui->lineEdit_textwatermark->text());
  full->SetTextColor(WatermarkColor());
  full->SetTextFont(settings->GetWatermarkFont());
  full->ShowFullScreen();
  full->SetRelativePos(x, y);
  close();
}

void SettingsDialog::SaveWatermarkPage() {
  Settings* settings = Settings::Instance();
  const QString text = m_ui->lineEdit_textwatermark->text();
  settings->SetWatermarkText(text);
  if (text.isEmpty()) return;
  double x = 0, y = 0;
  m_watermarkPreviewer->GetRelativePos(x, y);
  settings->SetWatermarkPos(x, y);
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

// --- hot keys and about ---

void SettingsDialog::FillModifierCombo(QComboBox* combo) {
  if (!combo) return;
  combo->addItem("CTRL", static_cast<int>(Qt::ControlModifier));
  combo->addItem("SHIFT", static_cast<int>(Qt::ShiftModifier));
  combo->addItem("ALT", static_cast<int>(Qt::AltModifier));
}

void SettingsDialog::FillKeyCombo(QComboBox* combo) {
  for (int key = Qt::Key_0; key <= Qt::Key_9; ++key) combo->addItem(QString(QChar(key)), key);
  for (int key = Qt::Key_A; key <= Qt::Key_Z; ++key) combo->addItem(QString(QChar(key)), key);
}

QString SettingsDialog::ModifierName(int modifier) {
  switch (modifier) {
    case Qt::ShiftModifier:
      return "SHIFT";
    case Qt::ControlModifier:
      return "CTRL";
    case Qt::AltModifier:
      return "ALT";
    default:
      return "";
  }
}

QString SettingsDialog::KeyName(int key) {
  if ((key >= Qt::Key_0 && key <= Qt::Key_9) || (key >= Qt::Key_A && key <= Qt::Key_Z))
    return QString(QChar(key));
  return "";
}

void SettingsDialog::SelectHotKey(QComboBox* modifierCombo, QComboBox* keyCombo, int modifier,
                                  int key) {
  if (modifier == 0 || key == Qt::Key_unknown) return;
  modifierCombo->setCurrentText(ModifierName(modifier));
  keyCombo->setCurrentText(KeyName(key));
}

void SettingsDialog::InitHotKeyPage() {
  Settings* settings = Settings::Instance();
  FillModifierCombo(m_ui->comboBox_5);
  FillKeyCombo(m_ui->comboBox_6);
  m_startPauseHotKey = settings->GetRecordStartpausehotkey();
  SelectHotKey(m_ui->comboBox_5, m_ui->comboBox_6, m_startPauseHotKey.first,
               m_startPauseHotKey.second);
  FillModifierCombo(m_ui->comboBox_7);
  FillKeyCombo(m_ui->comboBox_8);
  m_stopHotKey = settings->GetRecordStophotkey();
  SelectHotKey(m_ui->comboBox_7, m_ui->comboBox_8, m_stopHotKey.first, m_stopHotKey.second);

  const auto changed = QOverload<int>::of(&QComboBox::currentIndexChanged);
  connect(m_ui->comboBox_5, changed, this, &SettingsDialog::on_StartPauseHotKeyChanged);
  connect(m_ui->comboBox_6, changed, this, &SettingsDialog::on_StartPauseHotKeyChanged);
  connect(m_ui->comboBox_7, changed, this, &SettingsDialog::on_StopHotKeyChanged);
  connect(m_ui->comboBox_8, changed, this, &SettingsDialog::on_StopHotKeyChanged);
}

void SettingsDialog::on_StartPauseHotKeyChanged(int) { ChangeHotKey(true); }

void SettingsDialog::on_StopHotKeyChanged(int) { ChangeHotKey(false); }

void SettingsDialog::ChangeHotKey(bool startPause) {
  QLabel* mark = startPause ? m_ui->label_11 : m_ui->label_12;
  QComboBox* modifierCombo = startPause ? m_ui->comboBox_5 : m_ui->comboBox_7;
  QComboBox* keyCombo = startPause ? m_ui->comboBox_6 : m_ui->comboBox_8;
  mark->clear();
  const int modifier = modifierCombo->currentData().toInt();
  const int key = keyCombo->currentData().toInt();
  const QKeySequence sequence(modifier | key);
  // Back to the row's own key, which the program itself holds.
  const std::pair<int, int> own = startPause ? m_startPauseHotKey : m_stopHotKey;
  if (own == std::make_pair(modifier, key)) return;
  if (!IsHotKeyFree(startPause, sequence)) {
    mark->setText(QStringLiteral("热键无效"));
    return;
  }
  (startPause ? m_startPauseHotKey : m_stopHotKey) = {modifier, key};
  SaveHotKeys();
  RegisterMainWindowHotKeys();
}

bool SettingsDialog::IsHotKeyFree(bool startPause, const QKeySequence& sequence) {
  // The other row's key is taken even while the main window does not hold
  // it (the stop key is held only while recording).
  const std::pair<int, int> other = startPause ? Settings::Instance()->GetRecordStophotkey()
                                               : Settings::Instance()->GetRecordStartpausehotkey();
  if (QKeySequence(other.first | other.second) == sequence) return false;
  // Free when the system lets us hold it; this program's own keys count as
  // taken too.
  if (!GlobalHotKey::Register(sequence)) return false;
  GlobalHotKey::Unregister(sequence);
  return true;
}

void SettingsDialog::RegisterMainWindowHotKeys() {
  if (MainWindow* window = FindMainWindow()) window->RegisterHotKeys();
}

// The last accepted pair of each row, not what the combos show: a refused
// pair stays on screen with its mark but is never stored.
void SettingsDialog::SaveHotKeys() {
  Settings* settings = Settings::Instance();
  settings->SetRecordStartpausehotkey(m_startPauseHotKey.first, m_startPauseHotKey.second);
  settings->SetRecordStophotkey(m_stopHotKey.first, m_stopHotKey.second);
}

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

// --- closing ---

bool SettingsDialog::SaveSettings() {
  // Everything is checked before anything is written: a refusal keeps the
  // dialog open, and leaving it then keeps the stored settings as they were.
  // An untouched schedule page is not written back: the program may have
  // switched its task off meanwhile (a task that ran or whose start passed).
  const bool saveSchedule = !m_scheduleLocked && m_scheduleEdited;
  ScheduleTask task;
  if (!CheckSegmentValues()) return false;
  if (saveSchedule && m_ui->checkBox_scheduleRecord->isChecked() && !ReadScheduleTask(&task))
    return false;

  SaveGeneralPage();
  SaveRecordPage();
  Settings::Instance()->SetRecordCameraSwitch(m_ui->checkBox_7->isChecked());
  if (saveSchedule) SaveSchedulePage(task);
  SaveWatermarkPage();
  SaveHotKeys();
  SaveFolder();
  SaveKeyboardAndMouse();
  ApplyKeyMouseOverlay(Settings::Instance()->GetKeymouseShowkeystroke());
  return true;
}

void SettingsDialog::onButtonCloseClicked() {
  if (SaveSettings()) close();
}
