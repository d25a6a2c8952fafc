#include "mainwindow/mainwindow.h"

#include <glog/logging.h>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QDesktopWidget>
#include <QListWidgetItem>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <algorithm>

#include "camera/videopreviewerwidget.h"
#include "constants.h"
#include "mainwindow/listviewitemdelegate.h"
#include "mainwindow/recordernotifyevent.h"
#include "mainwindow/shadowmenu.h"
#include "platform/session_capabilities.h"
#include "platform/windows.h"
#include "settings.h"
#include "settingsdialog/regiondisplaydlg.h"
#include "settingsdialog/settingsdialogevents.h"
#include "ui_mainwindow.h"
#include "utils.h"
#include "widgets/customtitlebar.h"
#include "widgets/widgetstyle.h"

namespace {

// Posted by a second start of the program to bring this window forward.
constexpr uint32_t kActivateMessage = 2025;

constexpr int kIconRole = Qt::UserRole + 1;
constexpr int kSelectedIconRole = Qt::UserRole + 2;

const char kFeedbackUrl[] = "https://support.korvorec.example/products/10238";
const char kQQGroupUrl[] =
    "https://qun.korvorec.example/cgi-bin/qm/qr?k=Qw7pLm2xRt9vNc4bHs8kJd3fGy6aZe5u&jump_from=webapi";
const char kWebsiteUrl[] = "http://www.korvorec.example/?client=windows";

void OpenLink(const char* address) {
  QDesktopServices::openUrl(QUrl(QString::fromLatin1(address), QUrl::TolerantMode));
}

// The mode box's items carry 0 (monitor), 1 (region) and 3 (window).
int ModeItemData(RecordMode mode) {
  switch (mode) {
    case RecordMode::Monitor: return 0;
    case RecordMode::Region: return 1;
    case RecordMode::Window: return 3;
  }
  return 0;
}

RecordMode ModeOfItemData(const QVariant& data) {
  const int value = data.toInt();
  if (value == 1) return RecordMode::Region;
  if (value == 3) return RecordMode::Window;
  return RecordMode::Monitor;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : FramelessWindow(parent), m_trayIcon(this), m_statusBar(this, nullptr) {
  m_ui = new Ui_MainWindow;
  m_ui->setupUi(this);
  InitUi();
  RegisterHotKeys();
  platform::Windows().InstallMessageHandler(
      [this](platform::WindowId, uint32_t message, intptr_t, intptr_t) {
        if (message == kActivateMessage) OnActivateRequest();
      });
  platform::Session().Watch([this](platform::SessionEvent event) { OnSessionChange(event); });
  setFixedSize(width(), height());
  // A scheduled task whose start passed while the program was not running
  // is switched off and told at once.
  QTimer::singleShot(0, this, [this] {
    if (Settings::Instance()->GetRecordEnableRecordSchedule()) CheckRecordSchedule(IsRecording());
  });
}

MainWindow::~MainWindow() {
  CommitRenameEditor();  // a name being typed is not lost at quit
  // Nothing from outside may reach the window once it is gone.
  platform::Windows().InstallMessageHandler(nullptr);
  platform::Session().Watch(nullptr);
  // Leaving with a recording running still finishes its file.
  if (m_recorder) {
    LOG(INFO) << "closing while recording: finishing the file";
    m_recorder->Stop();
    m_recorder.reset();
    AllowSystemSleep(true);
  }
  m_cameraPreview.reset();
  delete m_ui;
}

std::string MainWindow::GetRecordingCameraId() const {
  if (!IsRecording() || !m_cameraPreview) return std::string();
  return m_cameraPreview->DeviceId();
}

void MainWindow::InitUi() {
  CenterOnScreen();
  InitTitleBar();
  m_ui->pushButton_stop->setEnabled(false);
  InitOptionCombos();
  InitSidebar();
  connect(m_ui->comboBox_mode, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
          &MainWindow::onCaptureModeChanged);
  connect(m_ui->comboBox_audio, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
          &MainWindow::onAudioTypeChanged);
  connect(m_ui->comboBox_img, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
          &MainWindow::onResoultionChanged);
  InitTray();
  UpdateScreenshot();

  m_tickTimer.setInterval(1000);
  connect(&m_tickTimer, &QTimer::timeout, this, &MainWindow::onTimer);
  m_tickTimer.start();
  m_durationTimer.setInterval(1000);
  connect(&m_durationTimer, &QTimer::timeout, this, &MainWindow::onDurationTimer);

  m_style.reset(StyleFactory::Instance()->CreateStyle(0));
  if (m_style) m_style->Apply(this);

  InitRecordTable();
}

void MainWindow::CenterOnScreen() {
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) return;
  const QRect available = screen->availableGeometry();
  QRect frame = geometry();
  frame.moveCenter(available.center());
  // Larger than the screen: the title bar stays on it.
  frame.moveTopLeft(QPoint(std::max(frame.left(), available.left()),
                           std::max(frame.top(), available.top())));
  move(frame.topLeft());
}

void MainWindow::InitTitleBar() {
  m_titleBar = new CustomTitleBar(this);
  m_titleBar->move(0, 0);
  connect(m_titleBar, &CustomTitleBar::signalButtonMinClicked, this,
          &MainWindow::onButtonMinClicked);
  connect(m_titleBar, &CustomTitleBar::signalButtonRestoreClicked, this,
          &MainWindow::onButtonRestoreClicked);
  connect(m_titleBar, &CustomTitleBar::signalButtonMaxClicked, this,
          &MainWindow::onButtonMaxClicked);
  connect(m_titleBar, &CustomTitleBar::signalButtonCloseClicked, this,
          &MainWindow::onButtonCloseClicked);
  connect(m_titleBar, &CustomTitleBar::signalButtonHelpClicked, this,
          &MainWindow::onButtonHelpClicked);
  connect(m_titleBar, &CustomTitleBar::signalButtonSettingsClicked, this,
          &MainWindow::onButtonSettingsClicked);
  m_titleBar->SetButtonType(3);
  m_titleBar->setFixedWidth(width());
  m_titleBar->SetTitleContent(QString::fromUtf8(kAppName), 12);
}

void MainWindow::InitOptionCombos() {
  Settings* settings = Settings::Instance();

  QComboBox* mode = m_ui->comboBox_mode;
  mode->addItem(QStringLiteral("全屏"), ModeItemData(RecordMode::Monitor));
  mode->addItem(QStringLiteral("区域"), ModeItemData(RecordMode::Region));
  // Windows come through the capture library, or where the desktop picks
  // them, through its own dialog.
  if (Settings::IsGlanceSupported() || platform::GetSessionCapabilities().desktopPicksWindow)
    mode->addItem(QStringLiteral("应用窗口"), ModeItemData(RecordMode::Window));
  int index = mode->findData(ModeItemData(settings->GetRecordRecordtype()));
  if (index >= 0) mode->setCurrentIndex(index);

  QComboBox* audio = m_ui->comboBox_audio;
  audio->addItem(QStringLiteral("系统声音"), 0);
  audio->addItem(QStringLiteral("麦克风"), 1);
  audio->addItem(QStringLiteral("麦和系统声音"), 2);
  audio->addItem(QStringLiteral("不录声音"), 3);
  // Selected by position; a value outside the list keeps the first item.
  const unsigned int audioIndex = settings->GetRecordRecordaudio();
  if (audioIndex < static_cast<unsigned int>(audio->count()))
    audio->setCurrentIndex(static_cast<int>(audioIndex));

  QComboBox* resolution = m_ui->comboBox_img;
  resolution->addItem(QStringLiteral("原画"), 0);
  resolution->addItem(QStringLiteral("4K 4096P"), 4);
  resolution->addItem(QStringLiteral("超清 1080P"), 1);
  resolution->addItem(QStringLiteral("高清 720P"), 2);
  resolution->addItem(QStringLiteral("标清 480P"), 3);
  index = resolution->findData(static_cast<int>(settings->GetRecordRecordresolution()));
  if (index >= 0) resolution->setCurrentIndex(index);
}

RecordMode MainWindow::SelectedMode() const {
  return ModeOfItemData(m_ui->comboBox_mode->currentData());
}

void MainWindow::InitSidebar() {
  auto* record = new QListWidgetItem(QStringLiteral("录制"));
  record->setData(kIconRole, QStringLiteral(":/category_record.png"));
  record->setData(kSelectedIconRole, QStringLiteral(":/category_record_selected.png"));
  m_ui->listWidget_sidebar->insertItem(0, record);
  auto* list = new QListWidgetItem(QStringLiteral("列表"));
  list->setData(kIconRole, QStringLiteral(":/category_videolist.png"));
  list->setData(kSelectedIconRole, QStringLiteral(":/category_videolist_selected.png"));
  m_ui->listWidget_sidebar->insertItem(1, list);
  m_sidebarDelegate = new ListviewItemDelegate(this);
  m_ui->listWidget_sidebar->setItemDelegate(m_sidebarDelegate);
  m_ui->listWidget_sidebar->setCurrentRow(0);
}

void MainWindow::InitTray() {
  auto* openAction = new QAction(QStringLiteral("打开主面板"), this);
  connect(openAction, &QAction::triggered, this, &QWidget::showNormal);
  auto* quitAction = new QAction(QStringLiteral("退出"), this);
  connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
  m_trayMenu = new ShadowMenu(this);
  m_trayMenu->addAction(openAction);
  m_trayMenu->addAction(quitAction);
  m_trayIcon.setIcon(QIcon(QPixmap(":/logo.png")));
  m_trayIcon.setToolTip(QString::fromUtf8(kAppName));
  connect(&m_trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::iconActivated);
}

void MainWindow::UpdateScreenshot() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect rect = screen->virtualGeometry();
  m_ui->label_screenshot->setPixmap(screen->grabWindow(QApplication::desktop()->winId(), rect.x(),
                                                       rect.y(), rect.width(), rect.height()));
}

void MainWindow::HideToTray() {
  // Without a tray host no icon could bring a hidden window back.
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    LOG(INFO) << "no system tray: minimising instead of hiding";
    showMinimized();
    return;
  }
  hide();
  m_trayIcon.show();
}

QString MainWindow::FormatDuration(uint64_t seconds) {
  return QString("%1:%2:%3")
      .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
      .arg((seconds % 3600) / 60, 2, 10, QLatin1Char('0'))
      .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void MainWindow::ShowRecordingLook() {
  m_ui->pushButton->setIcon(QIcon(":/pause.png"));
  m_ui->pushButton_stop->setEnabled(true);
  m_statusBar.SetRecordState(0);
  m_durationTimer.start();
}

void MainWindow::ShowPausedLook() {
  m_ui->pushButton->setIcon(QIcon(":/record.png"));
  m_statusBar.SetRecordState(2);
  m_durationTimer.stop();
}

void MainWindow::ShowIdleLook() {
  m_ui->pushButton->setIcon(QIcon(":/record.png"));
  m_ui->pushButton_stop->setEnabled(false);
  m_durationTimer.stop();
  m_elapsedSeconds = 0;
  m_ui->label_duration->setText("00:00:00");
  m_statusBar.SetTimeText("00:00:00");
  m_statusBar.hide();
}

void MainWindow::on_pushButton_clicked() { StartPauseRecording(); }

void MainWindow::on_pushButton_stop_clicked() { StopRecording(); }

void MainWindow::onButtonMinClicked() { showMinimized(); }

void MainWindow::onButtonRestoreClicked() {
  QPoint pos;
  QSize size;
  m_titleBar->GetRestoreInfo(pos, size);
  setGeometry(QRect(pos, size));
}

void MainWindow::onButtonMaxClicked() { m_titleBar->SaveRestoreInfo(pos(), size()); }

void MainWindow::onButtonCloseClicked() {
  if (Settings::Instance()->GetGeneralHidewhenclose()) {
    HideToTray();
    return;
  }
  StopRecording();
  close();
}

void MainWindow::onButtonHelpClicked() {
  if (!m_helpMenu) {
    m_helpMenu = new ShadowMenu(this);
    m_helpMenu->addAction(QStringLiteral("使用手册"), this, &MainWindow::onFeedback);
    m_helpMenu->addAction(QStringLiteral("QQ交流群"), this, &MainWindow::onQQGroup);
    m_helpMenu->addAction(QStringLiteral("官方网站"), this, &MainWindow::onOfficalWebsite);
  }
  m_helpMenu->popup(QCursor::pos());
}

void MainWindow::onFeedback() { OpenLink(kFeedbackUrl); }

void MainWindow::onQQGroup() { OpenLink(kQQGroupUrl); }

void MainWindow::onOfficalWebsite() { OpenLink(kWebsiteUrl); }

void MainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Context: {
      const QPoint cursor = QCursor::pos();
      m_trayMenu->popup(QPoint(cursor.x(), cursor.y() - m_trayMenu->sizeHint().height()));
      break;
    }
    case QSystemTrayIcon::DoubleClick:
    case QSystemTrayIcon::Trigger:
      show();
      break;
    default:
      break;
  }
}

void MainWindow::onCaptureModeChanged(int) {
  Settings::Instance()->SetRecordRecordtype(SelectedMode());
}

void MainWindow::onAudioTypeChanged(int) {
  Settings::Instance()->SetRecordRecordaudio(m_ui->comboBox_audio->currentData().toUInt());
}

void MainWindow::onResoultionChanged(int) {
  Settings::Instance()->SetRecordRecordresolution(m_ui->comboBox_img->currentData().toUInt());
}

void MainWindow::on_listWidget_sidebar_currentRowChanged(int currentRow) {
  CommitRenameEditor();
  m_ui->listWidget_sidebar->viewport()->update();
  m_ui->stackedWidget->setCurrentIndex(currentRow);
}

bool MainWindow::event(QEvent* event) {
  if (event->type() == MediaFilesReloadEvent::kType) ReloadRecordList();
  if (event->type() == HotKeysChangedEvent::kType) {
    RegisterHotKeys();
    return true;
  }
  if (event->type() == RecordingQueryEvent::kType) {
    auto* query = static_cast<RecordingQueryEvent*>(event);
    query->recording = IsRecording();
    query->cameraId = GetRecordingCameraId();
    return true;
  }
  if (event->type() == RecorderNotifyEvent::kType) {
    auto* notify = static_cast<RecorderNotifyEvent*>(event);
    HandleRecorderEvent(static_cast<NotifyType>(notify->NotifyType()),
                        static_cast<RecordError>(notify->ErrorCode()));
  }
  return QMainWindow::event(event);
}
