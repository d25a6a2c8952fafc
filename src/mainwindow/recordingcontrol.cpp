#include <glog/logging.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>

#include <system_error>
#include <vector>

#include "camera/videopreviewerwidget.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/messagedialog.h"
#include "mainwindow/recordernotifyevent.h"
#include "platform/session.h"
#include "platform/session_capabilities.h"
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

// Room kept around a recorded region for its frame, in device pixels.
constexpr int kRegionFrameMargin = 8;

// Placement works in device pixels of the virtual screen, as the monitors
// and the recorded region are given. The toolkit keeps each screen's origin
// and scales what lies beyond it.
QScreen* ScreenAt(const QPoint& device) {
  for (QScreen* screen : QGuiApplication::screens()) {
    const QRect g = screen->geometry();
    if (QRect(g.topLeft(), g.size() * screen->devicePixelRatio()).contains(device)) return screen;
  }
  return QGuiApplication::primaryScreen();
}

QPoint ToLogical(const QPoint& device) {
  const QScreen* screen = ScreenAt(device);
  if (!screen) return device;
  const QPoint origin = screen->geometry().topLeft();
  return origin + (device - origin) / screen->devicePixelRatio();
}

QSize ToDevice(const QSize& logical, const QRect& monitor) {
  const QScreen* screen = ScreenAt(monitor.center());
  return screen ? logical * screen->devicePixelRatio() : logical;
}

QRect ToQRect(const platform::Rect& r) { return QRect(r.left, r.top, r.Width(), r.Height()); }

// The monitor less what the desktop keeps for its panels.
QRect WorkArea(const QRect& monitor) {
  const QScreen* screen = ScreenAt(monitor.center());
  if (!screen) return monitor;
  const QRect g = screen->geometry();
  const QRect a = screen->availableGeometry();
  const qreal ratio = screen->devicePixelRatio();
  const QRect available(g.topLeft() + (a.topLeft() - g.topLeft()) * ratio, a.size() * ratio);
  const QRect work = monitor & available;
  return work.isEmpty() ? monitor : work;
}

// At the right edge of the work area, lift pixels above its bottom.
QRect BottomRightOf(const QRect& work, const QSize& size, int lift) {
  return QRect(QPoint(work.right() + 1 - size.width(), work.bottom() + 1 - lift), size);
}

// The status bar's usual place is at the bottom right of the recorded
// monitor. Where that covers the area to avoid it goes beside a region,
// else onto another monitor; with no room anywhere it keeps its usual place.
QRect PlaceStatusBar(const QRect& monitor, const std::vector<QRect>& monitors,
                     const QRect& avoid, const QSize& size) {
  constexpr int kLift = 100;
  const QRect usual = BottomRightOf(WorkArea(monitor), size, kLift);
  if (avoid.isEmpty() || !usual.intersects(avoid)) return usual;

  for (const QRect& screen : monitors) {
    if (!screen.intersects(avoid) || avoid.contains(screen)) continue;
    // The region's monitor: below, above, right of or left of the region.
    const QRect work = WorkArea(screen);
    const int w = size.width(), h = size.height();
    const int x = qBound(work.left(), avoid.right() + 1 - w, work.right() + 1 - w);
    const int y = qBound(work.top(), avoid.bottom() + 1 - h, work.bottom() + 1 - h);
    for (const QRect& beside :
         {QRect(QPoint(x, avoid.bottom() + 1), size), QRect(QPoint(x, avoid.top() - h), size),
          QRect(QPoint(avoid.right() + 1, y), size), QRect(QPoint(avoid.left() - w, y), size)}) {
      if (work.contains(beside) && !beside.intersects(avoid)) return beside;
    }
  }
  for (const QRect& other : monitors) {
    const QRect place = BottomRightOf(WorkArea(other), size, kLift);
    if (!place.intersects(avoid)) return place;
  }
  return usual;
}

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
  QString message = QStringLiteral("录制文件无法写入，录制已停止");
  if (code == kRecordCaptureLost) message = QStringLiteral("录制的屏幕或窗口已不可用，录制已停止");
  if (code == kRecordEncodeFailed) message = QStringLiteral("录制编码失败，录制已停止");
  MessageDialog::ShowMessage(this, message);
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
  // The camera may have been switched off while it ran: stop whatever runs.
  if (m_cameraPreview) {
    m_cameraPreview->StopPreview();
    m_cameraPreview->hide();
  }
  m_statusBar.SetTimeText("00:00:00");
  m_statusBar.hide();
}

void MainWindow::ShowRecordingWidgets(const RecordParams&) {
  const RecordParams p = m_recorder->GetRecordParams();
  std::vector<QRect> monitorRects;
  QRect monitor;
  for (const auto& m : GetMonitors()) {
    const QRect rect = ToQRect(m.rect);
    monitorRects.push_back(rect);
    if (p.monitor && m.monitor == p.monitor) monitor = rect;
  }
  if (!p.monitor && p.window) {
    const platform::Rect w = platform::Windows().WindowBounds(p.window);
    const int cx = w.left + (w.right - w.left) / 2;
    for (const QRect& rect : monitorRects)
      if (rect.left() <= cx && cx <= rect.right() + 1) {
        monitor = rect;
        break;
      }
  }
  if (monitor.isNull()) {
    LOG(ERROR) << "monitor is null";
    return;
  }
  // What the file shows, with the region's frame around it; a window's own
  // picture holds no other window.
  QRect recorded;
  if (p.mode == 0) recorded = monitor;
  if (p.mode == 1) {
    recorded = ToQRect(p.region).adjusted(-kRegionFrameMargin, -kRegionFrameMargin,
                                          kRegionFrameMargin, kRegionFrameMargin);
  }
  if (Settings::Instance()->GetGeneralRecordStatusBar()) {
    const QRect place =
        PlaceStatusBar(monitor, monitorRects, recorded, ToDevice(m_statusBar.size(), monitor));
    m_statusBar.move(ToLogical(place.topLeft()));
    m_statusBar.show();
  }
  if (Settings::Instance()->GetRecordCameraSwitch() && (p.mode == 0 || p.mode == 1)) {
    QString id, description;
    Settings::Instance()->GetRecordCamera(id, description);
    if (!id.isEmpty() && !description.isEmpty()) {
      if (!m_cameraPreview) m_cameraPreview = std::make_unique<VideoPreviewerWidget>();
      // A camera that cannot be previewed leaves no empty window on the recording.
      if (m_cameraPreview->StartPreview(description.toStdString(), id.toStdString())) {
        const QRect place = BottomRightOf(WorkArea(monitor),
                                          ToDevice(m_cameraPreview->size(), monitor), 400);
        m_cameraPreview->move(ToLogical(place.topLeft()));
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
  m_pausedByLock = false;  // the user decides from here
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
  // The halo is off where the session keeps it off (see the settings).
  params.highlight = Settings::Instance()->GetKeymouseHighlight() &&
                     platform::GetSessionCapabilities().globalInput;

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
    params.region = picker.GetDeviceRegion();
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
    HoldStopHotKey(true);
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

void MainWindow::StopRecording(bool tellFileCount) {
  if (!m_recorder) return;
  LOG(INFO) << "Stop recording";
  HoldStopHotKey(false);
  m_ui->pushButton->setIcon(QIcon(":/record.png"));
  m_recorder->Stop();
  // Read after the stop: a last segment that got no picture is gone by then.
  const std::vector<std::string> files = m_recorder->GetOutputFiles();
  if (m_regionFrame && m_regionFrame->isVisible()) m_regionFrame->hide();
  m_ui->pushButton_stop->setEnabled(false);
  showNormal();
  BringWindowToFront(this);

  ShowRecordedFiles(files);

  ShowIdleLook();
  m_recorder.reset();
  m_pausedByLock = false;
  AllowSystemSleep(true);
  CheckScheduleOnStop();
  RestoreAfterRecording();
  if (files.size() > 1) LOG(INFO) << "the recording made " << files.size() << " files";
  // Last: the box waits for the user, everything is released by then.
  if (files.size() > 1 && tellFileCount)
    MessageDialog::ShowInformation(
        this, QStringLiteral("本次录制总共生成%1个文件").arg(static_cast<int>(files.size())));
}

void MainWindow::OnSystemShutdown() {
  LOG(INFO) << "System is going to shutdown";
  if (!m_recorder) return;
  m_recorder->Stop();
  m_recorder.reset();
  m_pausedByLock = false;
  HoldStopHotKey(false);
}

void MainWindow::OnSessionChange(platform::SessionEvent event) {
  if (event == platform::SessionEvent::Ending) {
    const bool recording = m_recorder != nullptr;
    OnSystemShutdown();
    // The shutdown may yet be called off: the window looks idle again.
    if (recording) {
      ShowIdleLook();
      RestoreAfterRecording();
      AllowSystemSleep(true);
    }
    return;
  }
  if (!m_recorder) return;
  if (event == platform::SessionEvent::Locked) {
    if (!m_recorder->IsRecording() || m_recorder->IsPaused()) return;
    m_recorder->Pause();
    ShowPausedLook();
    m_pausedByLock = true;
  } else if (event == platform::SessionEvent::Unlocked) {
    // Only a pause that the lock made ends with it; the user's own stays.
    if (!m_pausedByLock) return;
    m_pausedByLock = false;
    if (!m_recorder->IsPaused()) return;
    m_recorder->Resume();
    ShowRecordingLook();
  }
}

void MainWindow::OnActivateRequest() {
  BringWindowToFront(this);
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* window = qobject_cast<MainWindow*>(widget)) BringWindowToFront(window);
}
