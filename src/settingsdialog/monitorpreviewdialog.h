#pragma once

#include <functional>
#include <vector>

#include "platform/backend.h"
#include "settingsdialog/monitorlist.h"
#include "widgets/framelesswindow.h"

class CustomTitleBar;
class Ui_MonitorPreviewDialog;
class WindowCapturerInterface;

// Asks which monitor to record: one thumbnail per monitor, named by its
// device name. Run with exec(); read SelectedMonitor() after Accepted.
class MonitorPreviewDialog : public FramelessDialog {
  Q_OBJECT

 public:
  explicit MonitorPreviewDialog(QWidget* parent = nullptr);
  ~MonitorPreviewDialog() override;

  // The handle the selected monitor has now: monitors plugged in or out
  // while the dialog was open change the handles, so it is found again by
  // its name. 0 when none is selected or the monitor is gone.
  platform::MonitorId SelectedMonitor();

  // Item roles holding the monitor handle and its device name.
  static constexpr int kMonitorRole = Qt::UserRole + 2;
  static constexpr int kMonitorNameRole = Qt::UserRole + 3;

  // Replaces the capture-source factory used for the thumbnails (tests);
  // an empty function restores the normal one.
  using CapturerFactory = std::function<WindowCapturerInterface*(int type)>;
  static void SetCapturerFactory(CapturerFactory factory);

 private slots:
  void on_pushButton_clicked();
  void on_pushButton_2_clicked();
  void onButtonCloseClicked();

 private:
  void AddMonitorItem(const MonitorItem& item);

  Ui_MonitorPreviewDialog* ui = nullptr;
  std::vector<MonitorItem> m_monitors;
  CustomTitleBar* m_titleBar = nullptr;
};
