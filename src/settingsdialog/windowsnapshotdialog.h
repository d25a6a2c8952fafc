#pragma once

#include <QPixmap>
#include <QString>

#include <memory>

#include "recorder/capturedwindowlist.h"
#include "widgets/framelesswindow.h"

namespace Ui {
class WindowSnapshotDialog;
}
class CustomTitleBar;
class WidgetStyle;

// Asks which application window to record: every recordable window as a
// thumbnail with its title. Built on the stack, run with exec() and read
// after Accepted.
class WindowSnapshotDialog : public FramelessDialog {
  Q_OBJECT

 public:
  explicit WindowSnapshotDialog(QWidget* parent = nullptr);
  ~WindowSnapshotDialog() override;

  // The record of the selected window; an empty one when none is selected.
  WindowInfo SelectedWindow() const;

 private slots:
  void onButtonCloseClicked();
  void on_pushButton_clicked();
  void on_pushButton_2_clicked();

 private:
  void LoadWindows();
  void AddWindowItem(const WindowInfo& window, const QString& title, const QPixmap& pixmap);

  Ui::WindowSnapshotDialog* ui = nullptr;
  CustomTitleBar* m_titleBar = nullptr;
  std::unique_ptr<WidgetStyle> m_style;
};
