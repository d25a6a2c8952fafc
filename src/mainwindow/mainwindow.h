#pragma once

#include <QPersistentModelIndex>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include <utility>

#include "mainwindow/recordstatusbar.h"
#include "platform/session.h"
#include "recorder/recorder.h"
#include "recordmode.h"
#include "widgets/framelesswindow.h"

class CustomTitleBar;
class GlobalHotKey;
class ListviewItemDelegate;
class RegionDisplayDlg;
class VideoPreviewerWidget;
class QKeySequence;
class QStandardItem;
class QStandardItemModel;
class ShadowMenu;
class Ui_MainWindow;
class WidgetStyle;

// The program's main window: title bar, sidebar (record page, list page),
// the desktop preview, the option combos and the start and stop buttons.
class MainWindow : public FramelessWindow, public RecorderObserver {
  Q_OBJECT
  friend class MainWindowTestAccess;

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Hides the window and leaves the tray icon to bring it back.
  void HideToTray();

  // A recorder exists and records (paused included).
  bool IsRecording() const;
  // Called by the recorder on any thread; reacts on the GUI thread.
  void OnRecorderNotify(NotifyType type, RecordError code) override;
  // (Re)holds the start/pause and stop hot keys from the settings.
  void RegisterHotKeys();
  // The camera shown by the running recording's preview; empty when not
  // recording.
  std::string GetRecordingCameraId() const;
  // The session ends: a running recording's file is finished at once.
  void OnSystemShutdown();
  // A message box, but never over a recording or a start on its way: what
  // comes up meanwhile is told once they are over.
  void TellUser(const QString& text);
  // A sound source of the running recording is gone; the recording goes on
  // without it and the user is told after the stop. On the GUI thread: the
  // recorder's report of it reaches HandleRecorderEvent.
  void TellSoundSourceLost(bool microphone);

  // "hh:mm:ss" of a number of seconds; the hours grow past two digits.
  static QString FormatDuration(uint64_t seconds);

  // Recording list: size text of a file, and a media file's duration in
  // whole seconds (false when it cannot be opened).
  static QString FormatFileSize(int64_t bytes);
  static bool GetMediaDuration(const QString& path, int64_t& seconds);

 public slots:
  // Start, pause or resume; also called by the floating status bar.
  void on_pushButton_clicked();
  // Stop; also called by the floating status bar.
  void on_pushButton_stop_clicked();
  void onHotKeyOfStartPause();
  void onHotKeyOfStop();
  // Releases every hot key of the window.
  void UnRegisterHotKey();

 private slots:
  void onButtonMinClicked();
  void onButtonRestoreClicked();
  void onButtonMaxClicked();
  void onButtonCloseClicked();
  void onButtonHelpClicked();
  void onButtonSettingsClicked();
  void iconActivated(QSystemTrayIcon::ActivationReason reason);
  void onCaptureModeChanged(int index);
  void onAudioTypeChanged(int index);
  void onResoultionChanged(int index);
  void onTimer();
  void onDurationTimer();
  void on_listWidget_sidebar_currentRowChanged(int currentRow);
  void onFeedback();
  void onQQGroup();
  void onOfficalWebsite();
  void onTableClicked(const QModelIndex& index);
  void onTableDoubleClicked(const QModelIndex& index);
  void onPlay();
  void onRename();
  void onOpenFileCategory();
  void onDelete();

 protected:
  bool event(QEvent* event) override;

 private:
  void InitUi();
  void CenterOnScreen();
  void InitTitleBar();
  void InitOptionCombos();
  // The mode of the mode box's current item.
  RecordMode SelectedMode() const;
  void InitSidebar();
  void InitTray();
  // One hot key from a (modifiers, key) pair; reports a refused one.
  GlobalHotKey* AddHotKey(std::pair<int, int> hotKey, void (MainWindow::*callback)());
  // Holds or releases the stop hot key.
  void HoldStopHotKey(bool hold);
  // Whether the stop hot key could be held now; reports it when not.
  void ProbeStopHotKey();
  void ReportHotKeyConflict(std::pair<int, int> hotKey, const QKeySequence& sequence);
  void ShowPendingNotices();
  void UpdateScreenshot();

  // The look of the three recording states.
  void ShowRecordingLook();
  void ShowPausedLook();
  void ShowIdleLook();

  // Recording control: the start/pause/resume road and the stop road.
  void StartPauseRecording();
  void StartNewRecording(RecordMode mode);
  // tell: boxes (the file count, what waited for the stop) are shown.
  void StopRecording(bool tell = true);
  void HandleRecorderEvent(NotifyType type, RecordError code);
  QString MakeOutputFilePath();
  bool HasEnoughDiskSpace() const;
  void PrepareForRecording();
  void ShowRecordingWidgets(const RecordParams& params);
  void RestoreAfterRecording();
  // Waits until the window system has taken down every window that the
  // program no longer shows (a hidden main window, a closed picker).
  void WaitForHiddenWindows();

  // Session changes and keep-awake.
  void OnSessionChange(platform::SessionEvent event);
  void OnActivateRequest();
  void AllowSystemSleep(bool allow);

  // Timers and the scheduled recording.
  void CheckRecordSchedule(bool recording);
  void CheckScheduleOnStop();

  // Recording list.
  void InitRecordTable();
  void ReloadRecordList();
  void FillRecordList();
  void AddRecordRow(const QString& path, int row);
  // After a stop: appends the new files, newest first, list page shown and
  // the newest name open for editing.
  void ShowRecordedFiles(const std::vector<std::string>& files);
  QString RowFilePath(int row) const;
  // Hands a file or folder to the desktop; tells the user when it cannot.
  void OpenWithDesktop(const QString& path, const QString& failure);
  // Renames the file of the row being renamed once its cell holds the new
  // name; writes back an editor that is still open.
  void ApplyRename(QStandardItem* item);
  void CommitRenameEditor();

  Ui_MainWindow* m_ui = nullptr;
  CustomTitleBar* m_titleBar = nullptr;
  QSystemTrayIcon m_trayIcon;
  ShadowMenu* m_trayMenu = nullptr;
  ShadowMenu* m_helpMenu = nullptr;
  ListviewItemDelegate* m_sidebarDelegate = nullptr;
  QTimer m_tickTimer;
  QTimer m_durationTimer;
  QString m_outputPath;
  uint64_t m_elapsedSeconds = 0;
  std::unique_ptr<WidgetStyle> m_style;
  RecordStatusBar m_statusBar;
  std::unique_ptr<Recorder> m_recorder;
  QPointer<GlobalHotKey> m_stopHotKey;  // held while a recording exists
  std::set<std::pair<int, int>> m_toldHotKeyConflicts;
  bool m_starting = false;  // a start is on its way (pickers, checks)
  QStringList m_pendingNotices;
  bool m_showingNotices = false;
  std::deque<int64_t> m_freeBytes;  // free disk space at the last ticks
  std::unique_ptr<RegionDisplayDlg> m_regionFrame;
  std::unique_ptr<VideoPreviewerWidget> m_cameraPreview;  // floating, no parent
  uint64_t m_scheduleTicks = 0;
  int64_t m_scheduleStartedAt = 0;  // the task start that was taken
  bool m_scheduleRecording = false;  // the running recording is the task's
  bool m_pausedByLock = false;  // the running recording was paused by a session lock
  QStandardItemModel* m_recordModel = nullptr;
  ShadowMenu* m_rowMenu = nullptr;
  bool m_renamePending = false;
  QPersistentModelIndex m_renameIndex;
  QString m_oldName;
};
