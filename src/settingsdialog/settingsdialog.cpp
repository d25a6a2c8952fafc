#include "settingsdialog/settingsdialog.h"

#include <glog/logging.h>

#include "camera/camerapreviewer.h"
#include "constants.h"
#include "platform/windows.h"
#include "recorder/audiodevices.h"
#include "settings.h"
#include "settingsdialog/sessionlimits.h"
#include "settingsdialog/settingsdialogevents.h"
#include "ui_settingsdialog.h"
#include "utils_ui.h"
#include "widgets/customtitlebar.h"
#include "widgets/widgetstyle.h"

namespace {

void ExcludeFromCapture(QWidget* window, bool excluded) {
  const platform::Result result = platform::Windows().SetExcludedFromCapture(
      static_cast<platform::WindowId>(window->winId()), excluded);
  static bool logged = false;
  if (result != platform::Result::Ok && !logged) {
    logged = true;
    LOG(INFO) << "windows stay visible to screen captures: " << platform::ResultName(result);
  }
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
  if (QWidget* window = FindMainWindow()) ExcludeFromCapture(window, true);
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
  RecordingQueryEvent recording;
  const bool hasMainWindow = SendToMainWindow(&recording);
  m_scheduleLocked = !hasMainWindow || recording.recording;
  if (hasMainWindow && recording.recording) {
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
