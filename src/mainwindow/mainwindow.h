#pragma once

#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mainwindow/framelesswindow.h"
#include "mainwindow/recordstatusbar.h"
#include "platform/session.h"
#include "recorder/recorder.h"

class CustomTitleBar;
class ListviewItemDelegate;
class RegionDisplayDlg;
class ShadowMenu;
class Ui_MainWindow;
class WidgetStyle;

// The program's main window: title bar, sidebar (record page, list page),
// the desktop preview, the option combos and the start and stop buttons.
class MainWindow : public FramelessWindow, public RecorderObserver {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Hides the window and leaves the tray icon to bring it back.
  void HideToTray();

  // A recorder exists and records (paused included).
  bool IsRecording() const;
  // Called by the recorder on any thread; reacts on the GUI thread.
  void OnRecorderNotify(NotifyType type, RecordError code) override;

  // Tests replace how free disk space is measured (bytes; -1 unknown).
  static void SetFreeSpaceProbe(std::function<int64_t(const QString&)> probe);

  // "hh:mm:ss" of a number of seconds; the hours grow past two digits.
  static QString FormatDuration(uint64_t seconds);

 public slots:
  // Start, pause or resume; also called by the floating status bar.
  void on_pushButton_clicked();
  // Stop; also called by the floating status bar.
  void on_pushButton_stop_clicked();

 private slots:
  void onButtonMinClicked();
  void onButtonRestoreClicked();
  void onButtonMaxClicked();
  void onButtonCloseClicked();
  void onButtonHelpClicked();
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

 protected:
  bool event(QEvent* event) override;

 private:
  void InitUi();
  void CenterOnScreen();
  void InitTitleBar();
  void InitOptionCombos();
  void InitSidebar();
  void InitTray();
  void UpdateScreenshot();

  // The look of the three recording states.
  void ShowRecordingLook();
  void ShowPausedLook();
  void ShowIdleLook();

  // Recording control: the start/pause/resume road and the stop road.
  void StartPauseRecording();
  void StopRecording();
  void HandleRecorderEvent(NotifyType type, RecordError code);
  QString MakeOutputFilePath();
  bool HasEnoughDiskSpace();
  void PrepareForRecording();
  void ShowRecordingWidgets(const RecordParams& params);
  void RestoreAfterRecording();
  // Hands the finished files to the list page.
  void OnRecordingFinished(const std::vector<std::string>& files);

  // Session changes and keep-awake.
  void OnSystemShutdown();
  void OnSessionChange(platform::SessionEvent event);
  void OnActivateRequest();
  void AllowSystemSleep(bool allow);

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
  std::unique_ptr<RegionDisplayDlg> m_regionFrame;
};
