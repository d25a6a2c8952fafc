#pragma once

#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <utility>

#include "mainwindow/framelesswindow.h"
#include "mainwindow/recordstatusbar.h"

class CustomTitleBar;
class ListviewItemDelegate;
class ShadowMenu;
class Ui_MainWindow;
class WidgetStyle;

// The program's main window: title bar, sidebar (record page, list page),
// the desktop preview, the option combos and the start and stop buttons.
class MainWindow : public FramelessWindow {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Hides the window and leaves the tray icon to bring it back.
  void HideToTray();

  // (Re)holds the start/pause and stop hot keys from the settings.
  void RegisterHotKeys();

  // "hh:mm:ss" of a number of seconds; the hours grow past two digits.
  static QString FormatDuration(uint64_t seconds);

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
  // One hot key from a (modifiers, key) pair; reports a refused one.
  void AddHotKey(std::pair<int, int> hotKey, void (MainWindow::*callback)());
  void UpdateScreenshot();

  // The look of the three recording states.
  void ShowRecordingLook();
  void ShowPausedLook();
  void ShowIdleLook();

  // Recording control: the start/pause/resume road and the stop road.
  void StartPauseRecording();
  void StopRecording();
  bool IsRecording() const;
  void HandleRecorderEvent(int type, int code);

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
};
