#include <glog/logging.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <system_error>
#include <vector>

#include "camera/videopreviewerwidget.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/recordernotifyevent.h"
#include "platform/session.h"
#include "platform/session_capabilities.h"
#include "platform/shell.h"
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
#include "utils_ui.h"
#include "widgets/messagedialog.h"

// The start, pause, resume and stop roads of the main window.

namespace {

// How long a hidden window may take to leave the screen, and how long the
// compositor is given to paint the screen without it.
constexpr int kHideTimeoutMs = 2000;
constexpr int kRepaintMs = 150;

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
  if (type != kNotifyError && type != kNotifySoundSourceLost) return;
  QCoreApplication::postEvent(this, new RecorderNotifyEvent(type, code), Qt::NormalEventPriority);
}

void MainWindow::HandleRecorderEvent(NotifyType type, RecordError code) {
  // A sound source gone: the recording goes on without it.
  if (type == kNotifySoundSourceLost) {
    TellSoundSourceLost(code == kRecordMicInitFailed);
    return;
  }
  // The recording cannot go on: stop on the GUI thread (the file is
  // finished), then say why.
  if (type != kNotifyError || code == kRecordSuccess || !m_recorder) return;
  StopRecording();
  QString message = QStringLiteral("录制文件无法写入，录制已停止");
  if (code == kRecordCaptureLost) message = QStringLiteral("录制的屏幕或窗口已不可用，录制已停止");
  if (code == kRecordEncodeFailed) message = QStringLiteral("录制编码失败，录制已停止");
  MessageDialog::ShowMessage(this, message);
}

void MainWindow::TellSoundSourceLost(bool microphone) {
  LOG(WARNING) << (microphone ? "the microphone" : "the speaker")
               << " was lost: the recording goes on without it";
  TellUser(microphone ? QStringLiteral("录制中麦克风已断开，此后的录制中没有麦克风声音")
                      : QStringLiteral("录制中扬声器已断开，此后的录制中没有系统声音"));
}

void MainWindow::TellUser(const QString& text) {
  m_pendingNotices << text;
  QTimer::singleShot(0, this, &MainWindow::ShowPendingNotices);
}

void MainWindow::ShowPendingNotices() {
  // Never a box over a recording, nor over a start in progress.
  if (m_recorder || m_starting || m_showingNotices) return;
  m_showingNotices = true;
  while (!m_pendingNotices.isEmpty())
    MessageDialog::ShowMessage(this, m_pendingNotices.takeFirst());
  m_showingNotices = false;
}

void MainWindow::WaitForHiddenWindows() {
  // Every top-level window of this process that the window system still
  // shows although the program no longer does.
  const qint64 pid = QCoreApplication::applicationPid();
  const auto pending = [pid] {
    QSet<platform::WindowId> shown;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (widget->isVisible() && widget->internalWinId())
        shown.insert(static_cast<platform::WindowId>(widget->internalWinId()));
    for (const auto& window : platform::Windows().EnumerateTopLevel())
      if (window.pid == pid && window.visible && !shown.contains(window.id)) return true;
    return false;
  };
  const auto handleEvents = [](int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
      QThread::msleep(5);
    }
  };
  QElapsedTimer timer;
  timer.start();
  while (pending() && timer.elapsed() < kHideTimeoutMs) handleEvents(20);
  if (timer.elapsed() >= kHideTimeoutMs) LOG(WARNING) << "a hidden window is still shown";
  // The compositor paints the screen without them at its next frames.
  handleEvents(kRepaintMs);
}

QString MainWindow::MakeOutputFilePath() {
  const QString path = QString::fromUtf8(NewRecordFileName(Settings::Instance()->GetGeneralFilesaveurl()).c_str());
  // Never over a file that is there: the first free "_N" after the name.
  const auto free = [](const QString& candidate) {
    const QFileInfo info(candidate);
    return !info.exists() && !info.isSymLink();
  };
  if (path.isEmpty() || free(path)) return path;
  const QString stem = path.left(path.size() - QString(".mp4").size());
  for (int i = 1;; ++i) {
    const QString candidate = QString("%1_%2.mp4").arg(stem).arg(i);
    if (free(candidate)) return candidate;
  }
}

void MainWindow::PrepareForRecording() {
  // What this desktop cannot do is not asked for (the settings show it
  // greyed out).
  if (platform::Windows().CanExcludeFromCapture()) {
    const bool exclude = Settings::Instance()->GetGeneralNocapWndWhenRecord();
    const platform::Result result = platform::Windows().SetExcludedFromCapture(
        static_cast<platform::WindowId>(winId()), exclude);
    if (exclude && result != platform::Result::Ok)
      LOG(ERROR) << "hide cap window failed,error is " << platform::ResultName(result);
  }
  try {
    if (platform::CanHideDesktopIcons() && Settings::Instance()->GetGeneralHideDesktopIcon())
      SetDesktopIconsVisible(false);
  } catch (const std::system_error& e) {
    LOG(ERROR) << "hiding the desktop icons failed: " << e.what();
  }
  if (platform::CanHideTaskbar() && Settings::Instance()->GetGeneralHideTaskbar())
    SetTaskbarVisible(false);
}

void MainWindow::RestoreAfterRecording() {
  if (platform::Windows().CanExcludeFromCapture())
    platform::Windows().SetExcludedFromCapture(static_cast<platform::WindowId>(winId()), false);
  try {
    if (platform::CanHideDesktopIcons() && Settings::Instance()->GetGeneralHideDesktopIcon())
      SetDesktopIconsVisible(true);
  } catch (const std::system_error& e) {
    LOG(ERROR) << "showing the desktop icons failed: " << e.what();
  }
  if (platform::CanHideTaskbar() && Settings::Instance()->GetGeneralHideTaskbar())
    SetTaskbarVisible(true);
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
    // A window that the desktop picked lies where we cannot see; its own
    // picture holds no other window, so the bar goes on the primary monitor.
    if (!p.monitor && !p.window && (m.isPrimary || monitorRects.size() == 1)) monitor = rect;
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
  if (p.mode == RecordMode::Monitor) recorded = monitor;
  if (p.mode == RecordMode::Region) {
    recorded = ToQRect(p.region).adjusted(-kRegionFrameMargin, -kRegionFrameMargin,
                                          kRegionFrameMargin, kRegionFrameMargin);
  }
  if (Settings::Instance()->GetGeneralRecordStatusBar()) {
    const QRect place =
        PlaceStatusBar(monitor, monitorRects, recorded, ToDevice(m_statusBar.size(), monitor));
    m_statusBar.move(ToLogical(place.topLeft()));
    m_statusBar.show();
  }
  if (Settings::Instance()->GetRecordCameraSwitch() && p.mode != RecordMode::Window) {
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
  // One start at a time: a request while a start is on its way (a picker or
  // a box of it is open) brings that forward and does nothing else.
  if (m_starting) {
    LOG(INFO) << "a start is already in progress";
    if (QWidget* open = QApplication::activeModalWidget()) {
      open->raise();
      open->activateWindow();
    }
    return;
  }
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
  m_starting = true;
  StartNewRecording(SelectedMode());
  m_starting = false;
  ShowPendingNotices();
}

void MainWindow::StartNewRecording(RecordMode mode) {
  m_elapsedSeconds = 0;
  RecordParams params;
  params.mode = mode;
  params.audioMode = static_cast<int>(Settings::Instance()->GetRecordRecordaudio());
  params.resolution = static_cast<int>(Settings::Instance()->GetRecordRecordresolution());
  params.qp = -Settings::Instance()->GetRecordQp();
  // The halo is off where the session keeps it off (see the settings).
  params.highlight = Settings::Instance()->GetKeymouseHighlight() &&
                     platform::GetSessionCapabilities().globalInput;

  // The folder and the room on its disk are checked before any picker; the
  // file is named when the recording begins.
  m_outputPath = MakeOutputFilePath();
  if (m_outputPath.isEmpty()) {
    MessageDialog::ShowMessage(this, QStringLiteral("文件存储路径不存在！"));
    return;
  }
  if (!HasEnoughDiskSpace()) {
    MessageDialog::ShowMessage(this, QStringLiteral("磁盘空间不足10M，请清理磁盘!"));
    return;
  }

  bool picked = false;  // a picker covered the screen
  if (mode != RecordMode::Window) {
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
      picked = true;
      if (picker.exec() != QDialog::Accepted) return;
      params.monitor = picker.SelectedMonitor();
      if (!params.monitor) {
        // Unplugged while the picker was open: another one is not recorded instead.
        MessageDialog::ShowMessage(this, QStringLiteral("找不到显示屏幕"));
        return;
      }
    }
  }

  bool hidden = false;  // hidden by this start
  if (mode == RecordMode::Region) {
    // Out of the picker's still picture: a window manager keeps a window
    // moved off the screen on it, but takes a hidden one away.
    if (isVisible()) {
      hide();
      hidden = true;
    }
    WaitForHiddenWindows();
    RegionRecordDialog picker;
    picker.SetMonitor(params.monitor);
    picked = true;
    QRect stored;
    if (Settings::Instance()->GetRecordRegionRect(stored)) picker.SetRegion(stored);
    if (picker.exec() == 0) {
      LOG(INFO) << "user cancels recording";
      if (hidden) show();
      return;
    }
    const QRect r = picker.GetRegion();
    Settings::Instance()->SetRecordRegionRect(r);
    params.monitor = picker.GetMonitor();
    params.region = picker.GetDeviceRegion();
    if (!m_regionFrame) m_regionFrame = std::make_unique<RegionDisplayDlg>();
    m_regionFrame->FrameAround(ToQRect(params.region));
    m_regionFrame->show();
  }

  // Where the desktop's own dialog picks the window, it does so as the
  // recording opens its capture; no window of ours is chosen here.
  if (mode == RecordMode::Window && !platform::GetSessionCapabilities().desktopPicksWindow) {
    WindowSnapshotDialog picker;
    picked = true;
    if (picker.exec() == 0) return;
    params.window = picker.SelectedWindow().window;
  }

  const auto giveUp = [&](const QString& message) {
    if (m_regionFrame) m_regionFrame->hide();
    if (hidden) show();
    MessageDialog::ShowMessage(this, message);
  };
  m_outputPath = MakeOutputFilePath();
  if (m_outputPath.isEmpty()) return giveUp(QStringLiteral("文件存储路径不存在！"));
  params.outputPath = m_outputPath.toUtf8().toStdString();

  const bool hideWhenRecord = Settings::Instance()->GetGeneralHideWhenRecord();
  if (hideWhenRecord && isVisible()) {
    hide();
    hidden = true;
  }
  // The first picture is taken once the window system has taken down what
  // the program no longer shows.
  if (hidden || picked) WaitForHiddenWindows();

  m_recorder = std::make_unique<Recorder>();
  m_recorder->CreateMuxer();
  m_recorder->AddObserver(this);
  PrepareForRecording();
  const int result = m_recorder->Start(params);
  if (result == 0) {
    ShowRecordingWidgets(params);
    ShowRecordingLook();
    // Hidden, the tray icon brings it back (or, without a tray, minimised).
    if (hideWhenRecord)
      HideToTray();
    else if (hidden)
      show();
    AllowSystemSleep(false);
    HoldStopHotKey(true);
    m_freeBytes.clear();
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
  if (hidden) show();
  RestoreAfterRecording();
}

void MainWindow::StopRecording(bool tell) {
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
  m_scheduleRecording = false;
  RestoreAfterRecording();
  if (files.size() > 1) LOG(INFO) << "the recording made " << files.size() << " files";
  // Last: the boxes wait for the user, everything is released by then.
  if (!tell) return;
  if (files.size() > 1)
    MessageDialog::ShowInformation(
        this, QStringLiteral("本次录制总共生成%1个文件").arg(static_cast<int>(files.size())));
  ShowPendingNotices();
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
    // The shutdown may yet be called off: finish as a stop does, with no box
    // to hold the session's end.
    LOG(INFO) << "System is going to shutdown";
    StopRecording(false);
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
