#pragma once

#include <QDialog>
#include <QMainWindow>

// Top-level window without the window manager's caption and border; the
// owner draws its own title bar (CustomTitleBar) and moves itself with it.
class FramelessWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit FramelessWindow(QWidget* parent = nullptr);
  ~FramelessWindow() override;

 protected:
  bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;
};

// Modal dialog counterpart of FramelessWindow.
class FramelessDialog : public QDialog {
  Q_OBJECT

 public:
  explicit FramelessDialog(QWidget* parent = nullptr);
  ~FramelessDialog() override;

 protected:
  bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;
};
