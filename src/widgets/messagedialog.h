#pragma once

#include <QString>

#include <memory>

#include "widgets/framelesswindow.h"

class CustomTitleBar;
class Ui_MessageDialog;
class WidgetStyle;

// The program's message box: title bar, icon, one line of text, OK and
// optionally Cancel. It sizes itself to the text.
class MessageDialog : public FramelessDialog {
  Q_OBJECT

 public:
  explicit MessageDialog(QWidget* parent = nullptr);
  ~MessageDialog() override;

  // Information icon, OK only; returns the exec() result.
  int Information(const QString& text);
  // Warning icon, OK and, when asked, Cancel; returns the exec() result.
  int Warning(const QString& text, bool withCancel);

  static void ShowMessage(QWidget* parent, QString text);
  static void ShowInformation(QWidget* parent, QString text);

 private slots:
  void on_pushButton_clicked();
  void on_pushButton_2_clicked();
  void InitTitleBar();
  void ResetControlsLayout(QString& msg);

 private:
  Ui_MessageDialog* m_ui = nullptr;
  std::unique_ptr<WidgetStyle> m_style;
  CustomTitleBar* m_titleBar = nullptr;
};
