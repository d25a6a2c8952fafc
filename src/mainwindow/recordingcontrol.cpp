#include <glog/logging.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>

#include <system_error>

#include "camera/videopreviewerwidget.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/messagedialog.h"
#include "mainwindow/recordernotifyevent.h"
#include "platform/session.h"
#include "platform/windows.h"
#include "recorder/recorder.h"
#include "settings.h"
#include "settingsdialog/monitorlist.h"
#include "settingsdialog/monitorpreviewdialog.h"
#include "settingsdialog/regiondisplaydlg.h"
#include "settingsdialog/regionrecorddialog.h"
#include "settingsdialog/windowsnapshotdialog.h"
#include "ui_mainwindow.h"
#include "utils.h"

// The start, pause, resume and stop roads of the main window.

namespace {

// Where the window is parked while the region picker covers the screen.
const QPoint kParkedPosition(-70000, -90000);

}  // namespace

bool MainWindow::IsRecording() const { return m_recorder && m_recorder->IsRecording(); }

void MainWindow::OnRecorderNotify(NotifyType type, RecordError code) {
  if (type != kNotifyError) return;
  QCoreApplication::postEvent(this, new RecorderNotifyEvent(type, code), Qt::NormalEventPriority);
}

void MainWindow::HandleRecorderEvent(NotifyType type, RecordError code) {
  // The recording cannot go on: stop on the GUI thread (the file is
  // finished), then say why.
  if (type != kNotifyError || code == kRecordSuccess || !m_recorder) return;
  StopRecording();
  MessageDialog::ShowMessage(this, code == kRecordCaptureLost
                                       ? QStringLiteral("录制的屏幕或窗口已不可用，录制已停止")
                                       : QStringLiteral("录制文件无法写入，录制已停止"));
}

QString MainWindow::MakeOutputFilePath() { return QString::fromUtf8(NewRecordFileName().c_str()); }

void MainWindow::PrepareForRecording() {
  const bool exclude = Settings::Instance()->GetGeneralNocapWndWhenRecord();
  const platform::Result result = platform::Windows().SetExcludedFromCapture(
      static_cast<platform::WindowId>(winId()), exclude);
  if (exclude && result != platform::Result::Ok)
    LOG(ERROR) << "hide cap window failed,error is " << platform::ResultName(result);
  try {
    if (Settings::Instance()->GetGeneralHideDesktopIcon()) SetDesktopIconsVisible(false);
  } catch (const std::system_error& e) {
    LOG(ERROR) << "hiding the desktop icons failed: " << e.what();
  }
  if (Settings::Instance()->GetGeneralHideTaskbar()) SetTaskbarVisible(false);
}

void MainWindow::RestoreAfterRecording() {
  platform::Windows().SetExcludedFromCapture(static_cast<platform::WindowId>(winId()), false);
  try {
    if (Settings::Instance()->GetGeneralHideDesktopIcon()) SetDesktopIconsVisible(true);
  } catch (const std::system_error& e) {
    LOG(ERROR) << "showing the desktop icons failed: " << e.what();
  }
  if (Settings::Instance()->GetGeneralHideTaskbar()) SetTaskbarVisible(true);
  if (Settings::Instance()->GetRecordCameraSwitch() && m_cameraPreview) {
    m_cameraPreview->StopPreview();
    m_cameraPreview->hide();
  }
  m_statusBar.SetTimeText("00:00:00");
  m_statusBar.hide();
}

void MainWindow::ShowRecordingWidgets(const RecordParams&) {
  const RecordParams p = m_recorder->GetRecordParams();
  platform::Rect monitorRect;
  bool found = false;
  const auto monitors = GetMonitors();
  if (p.monitor) {
    for (const auto& m : monitors)
      if (m.monitor == p.monitor) {
        monitorRect = m.rect;
        found = true;
      }
  } else if (p.window) {
    const platform::Rect w = platform::Windows().WindowBounds(p.window);
    const int cx = w.left + (w.right - w.left) / 2;
    for (const auto& m : monitors)
      if (m.rect.left <= cx && cx <= m.rect.right) {
        monitorRect = m.rect;
        found = true;
        break;
      }
  }
  if (!found) {
    LOG(ERROR) << "monitor is null";
    return;
  }
  // Work area of that monitor, in the toolkit's (logical) coordinates.
  QRect workArea;
  for (QScreen* screen : QGuiApplication::screens()) {
    const QRect g = screen->geometry();
    const qreal ratio = screen->devicePixelRatio();
    if (qRound(g.x() * ratio) == monitorRect.left && qRound(g.y() * ratio) == monitorRect.top) {
      workArea = screen->availableGeometry();
      break;
    }
  }
  if (workArea.isNull() && QGuiApplication::primaryScreen())
    workArea = QGuiApplication::primaryScreen()->availableGeometry();
  if (Settings::Instance()->GetGeneralRecordStatusBar()) {
    m_statusBar.move(workArea.x() + workArea.width() - m_statusBar.width(),
                     workArea.y() + workArea.height() - 100);
    m_statusBar.show();
  }
  if (Settings::Instance()->GetRecordCameraSwitch() && (p.mode == 0 || p.mode == 1)) {
    QString id, description;
    Settings::Instance()->GetRecordCamera(id, description);
    if (!id.isEmpty() && !description.isEmpty()) {
      if (!m_cameraPreview) m_cameraPreview = std::make_unique<VideoPreviewerWidget>();
      // A camera that cannot be previewed leaves no empty window on the recording.
      if (m_cameraPreview->StartPreview(description.toStdString(), id.toStdString())) {
        m_cameraPreview->move(workArea.x() + workArea.width() - m_cameraPreview->width(),
                              workArea.y() + workArea.height() - 400);
        m_cameraPreview->show();
      }
    }
  }
}

void MainWindow::AllowSystemSleep(bool allow) {
  const platform::Result result = platform::Session().KeepAwake(!allow);
  if (result != platform::Result::Ok)
    LOG(WARNING) << "keeping the display awake: " << platform::ResultName(result);
}

void MainWindow::StartPauseRecording() {
  const int mode = m_ui->comboBox_mode->currentData().toInt();
  if (m_recorder) {
    if (m_recorder->IsPaused()) {
      m_recorder->Resume();
      ShowRecordingLook();
    } else {
      m_recorder->Pause();
      ShowPausedLook();
    }
    return;
  }

  m_elapsedSeconds = 0;
  RecordParams params;
  params.mode = mode;
  params.audioMode = static_cast<int>(Settings::Instance()->GetRecordRecordaudio());
  params.resolution = static_cast<int>(Settings::Instance()->GetRecordRecordresolution());
  params.qp = -Settings::Instance()->GetRecordQp();
  params.highlight = Settings::Instance()->GetKeymouseHighlight();

  m_outputPath = MakeOutputFilePath();
  if (m_outputPath.isEmpty()) {
    MessageDialog::ShowMessage(this, QStringLiteral("文件存储路径不存在！"));
    return;
  }
  if (!HasEnoughDiskSpace()) {
    MessageDialog::ShowMessage(this, QStringLiteral("磁盘空间不足10M，请清理磁盘!"));
    return;
  }
  params.outputPath = m_outputPath.toUtf8().toStdString();

  if (mode == 0 || mode == 1) {
    const auto monitors = GetMonitors();
    if (monitors.empty()) {
      MessageDialog::ShowMessage(this, QStringLiteral("找不到显示屏幕"));
      LOG(ERROR) << "can't find monitor";
      return;
    }
    if (monitors.size() == 1) {
      params.monitor = monitors.front().monitor;
    } else {
      MonitorPreviewDialog picker;
      if (picker.exec() != QDialog::Accepted) return;
      params.monitor = picker.SelectedMonitor();
    }
  }

  bool hiddenForRegion = false;
  if (mode == 1) {
    const QPoint remembered = pos();
    move(kParkedPosition);
    if (Settings::Instance()->GetGeneralHideWhenRecord()) {
      hide();
      hiddenForRegion = true;
    }
    RegionRecordDialog picker;
    QRect stored;
    if (Settings::Instance()->GetRecordRegionRect(stored)) picker.SetRegion(stored);
    if (picker.exec() == 0) {
      LOG(INFO) << "user cancels recording";
      move(remembered);
      show();
      return;
    }
    const QRect r = picker.GetRegion();
    if (!m_regionFrame) m_regionFrame = std::make_unique<RegionDisplayDlg>();
    m_regionFrame->move(picker.mapToGlobal(r.topLeft()));
    m_regionFrame->SetRegion(r);
    m_regionFrame->show();
    Settings::Instance()->SetRecordRegionRect(r);

    const double s = GetScreenScale(r.left());
    const int b = static_cast<int>(2.0 * s);
    params.region = platform::Rect{static_cast<int>(r.left() * s) + b,
                                   static_cast<int>(r.top() * s) + b,
                                   static_cast<int>(r.right() * s),
                                   static_cast<int>(r.bottom() * s)};
    move(remembered);
  }

  if (mode == 3) {
    WindowSnapshotDialog picker;
    if (picker.exec() == 0) return;
    params.window = picker.SelectedWindow().window;
  }

  m_recorder = std::make_unique<Recorder>();
  m_recorder->CreateMuxer();
  m_recorder->AddObserver(this);
  PrepareForRecording();
  const int result = m_recorder->Start(params);
  if (result == 0) {
    ShowRecordingWidgets(params);
    ShowRecordingLook();
    if (Settings::Instance()->GetGeneralHideWhenRecord()) showMinimized();
    AllowSystemSleep(false);
    return;
  }

  m_recorder->Stop();
  m_recorder.reset();
  // A failed start leaves no file behind.
  if (QFileInfo(m_outputPath).exists() && QFileInfo(m_outputPath).size() == 0)
    QFile::remove(m_outputPath);
  QString message = QStringLiteral("录制失败");
  if (result == kRecordCapturerInitFailed) message = QStringLiteral("屏幕采集器初始化失败");
  if (result == kRecordSpeakerInitFailed) message = QStringLiteral("扬声器采集器初始化失败");
  if (result == kRecordMicInitFailed) message = QStringLiteral("麦克风采集器初始化失败");
  LOG(ERROR) << "recording failed to start: " << result;
  MessageDialog::ShowMessage(nullptr, message);
  if (m_regionFrame) m_regionFrame->hide();
  if (hiddenForRegion) show();
  RestoreAfterRecording();
}

void MainWindow::StopRecording() {
  if (!m_recorder) return;
  const std::vector<std::string> files = m_recorder->GetOutputFiles();
  LOG(INFO) << "Stop recording";
  m_ui->pushButton->setIcon(QIcon(":/record.png"));
  m_recorder->Stop();
  if (m_regionFrame && m_regionFrame->isVisible()) m_regionFrame->hide();
  m_ui->pushButton_stop->setEnabled(false);
  showNormal();
  BringWindowToFront(this);

  ShowRecordedFiles(files);

  ShowIdleLook();
  m_recorder.reset();
  if (files.size() > 1)
    MessageDialog::ShowInformation(
        this, QStringLiteral("本次录制总共生成%1个文件").arg(static_cast<int>(files.size())));
  AllowSystemSleep(true);
  CheckScheduleOnStop();
  RestoreAfterRecording();
}

void MainWindow::OnSystemShutdown() {
  LOG(INFO) << "System is going to shutdown";
  if (!m_recorder) return;
  m_recorder->Stop();
  m_recorder.reset();
}

void MainWindow::OnSessionChange(platform::SessionEvent event) {
  if (event == platform::SessionEvent::Ending) {
    OnSystemShutdown();
    return;
  }
  if (!m_recorder) return;
  if (event == platform::SessionEvent::Locked && m_recorder->IsRecording() &&
      !m_recorder->IsPaused())
    m_recorder->Pause();
  else if (event == platform::SessionEvent::Unlocked && m_recorder->IsPaused())
    m_recorder->Resume();
}

void MainWindow::OnActivateRequest() {
  BringWindowToFront(this);
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* window = qobject_cast<MainWindow*>(widget)) BringWindowToFront(window);
}
