#pragma once

#include <functional>
#include <vector>

#include "mainwindow/framelesswindow.h"
#include "platform/backend.h"
#include "settingsdialog/monitorlist.h"

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

  // The handle of the selected monitor; 0 when none is selected.
  platform::MonitorId SelectedMonitor();

  // Item role holding the monitor handle.
  static constexpr int kMonitorRole = Qt::UserRole + 2;

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
