#pragma once

#include <QDateTime>
#include <QStandardItemModel>
#include <QString>

#include <cstdint>
#include <memory>
#include <utility>

#include "settingsdialog/settingsdlgitemdelegate.h"
#include "widgets/framelesswindow.h"

class CustomTitleBar;
class QComboBox;
class QKeySequence;
class Ui_SettingsDialog;
class WatermarkPreviewer;
class CameraPreviewer;
class WidgetStyle;

// The options window: a list of pages on the left, the page on the right.
// Most controls are written back in one pass when the title bar's close
// button is pressed; devices the user picks, colours, fonts, accepted hot
// keys and the key-display screen are written the moment they change.
class SettingsDialog : public FramelessDialog {
  Q_OBJECT

 public:
  explicit SettingsDialog(QWidget* parent);
  ~SettingsDialog() override;

  // Writes every page back; false (and a message, nothing written) when a
  // value is refused, which keeps the dialog open.
  bool SaveSettings();
  // Opens the dialog modally on one page; returns the exec() result.
  int ShowPage(int page);

  static QString ModifierName(int modifier);
  static QString KeyName(int key);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private slots:
  void onButtonCloseClicked();
  void on_listView_clicked(const QModelIndex& index);
  void on_pushButton_clicked();
  void on_pushButton_2_clicked();
  void on_StartPauseHotKeyChanged(int);
  void on_StopHotKeyChanged(int);
  void on_pushButton_3_clicked();
  void on_pushButton_4_clicked();
  void onSegmentStateChanged(int state);
  void onScheduleRecordStateChanged(int state);
  void onWatermarkChanged(const QString& text);
  void onWatermarkPreview();
  void onKeyBackgroundColor();
  void onKeyFont();
  void onKeyColor();
  void onKeyMouseStateChanged(int);
  void onKeyScreenChanged(int);
  void onHighlightColorClicked();
  void onRecordCameraChanged(int);
  void onCameraChanged(int);
  void onSpeakerChanged(int index);
  void onMicChanged(int index);
  void on_pushButton_9_clicked(bool checked);

 private:
  void SetupControls();
  void InitTitleBar();
  void SetExcludeFromCapture(bool restore);
  void AddPage(const QString& name);

  void InitGeneralPage();
  void InitRecordPage();
  void InitSchedulePage();
  void InitCameraPage();
  void InitMousePage();
  void InitWatermarkPage();
  void InitHotKeyPage();
  void InitKeyboardPage();
  void InitStyles();

  void SaveGeneralPage();
  // False after its message when the chosen segment field is empty or 0.
  bool CheckSegmentValues();
  void SaveRecordPage();
  struct ScheduleTask {
    QDateTime start;
    QDateTime end;  // invalid when a duration is used
    uint64_t duration = 0;
    int action = 0;
  };
  // The schedule page's task; false after its message when it is refused.
  bool ReadScheduleTask(ScheduleTask* task);
  void SaveSchedulePage(const ScheduleTask& task);
  void SaveWatermarkPage();
  void SaveHotKeys();
  void SaveFolder();
  void SaveKeyboardAndMouse();

  void EnableSegmentControls(bool on);
  void EnableScheduleControls(bool on);
  void EnableKeyboardControls(bool on);
  void FillCameraList();
  // Shows the camera of the list's row in the page, storing nothing.
  void PreviewCamera(int index);
  void FillAudioCombo(QComboBox* combo, bool speakers);
  void FillModifierCombo(QComboBox* combo);
  void FillKeyCombo(QComboBox* combo);
  void SelectHotKey(QComboBox* modifierCombo, QComboBox* keyCombo, int modifier, int key);
  // Tries one row's combination; stores it and re-registers when it is free.
  void ChangeHotKey(bool startPause);
  bool IsHotKeyFree(bool startPause, const QKeySequence& sequence);
  void RegisterMainWindowHotKeys();
  void ApplyKeyMouseOverlay(bool show);

  Ui_SettingsDialog* m_ui = nullptr;
  CustomTitleBar* m_titleBar = nullptr;
  SettingsDlgItemDelegate m_pageDelegate;
  QStandardItemModel m_pageModel;
  std::unique_ptr<WidgetStyle> m_comboBoxStyle;
  std::unique_ptr<WidgetStyle> m_pushButtonStyle;
  std::unique_ptr<WidgetStyle> m_lineEditStyle;
  std::unique_ptr<WidgetStyle> m_checkBoxStyle;
  std::unique_ptr<WidgetStyle> m_radioButtonStyle;
  std::unique_ptr<WidgetStyle> m_timeEditStyle;
  std::unique_ptr<WidgetStyle> m_sliderStyle;
  WatermarkPreviewer* m_watermarkPreviewer = nullptr;
  std::unique_ptr<CameraPreviewer> m_cameraPreviewer;  // while the video-device page shows
  // The last (modifier, key) pair of each hot-key row that the system accepted.
  std::pair<int, int> m_startPauseHotKey;
  std::pair<int, int> m_stopHotKey;
  // No schedule is saved: no main window, or a recording ran at the opening.
  bool m_scheduleLocked = false;
  bool m_scheduleEdited = false;  // the user changed the schedule page
};
