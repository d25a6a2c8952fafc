#include "widgets/framelesswindow.h"

// The window manager draws no decoration for a frameless window, so the whole
// window is client area; sizing is fixed by the owners and moving is done by
// the title bar. Nothing of the native frame needs adjusting on X11.

FramelessWindow::FramelessWindow(QWidget* parent) : QMainWindow(parent) {
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowMaximizeButtonHint);
  // Create the native window now, as the owners place and query it at once.
  winId();
}

FramelessWindow::~FramelessWindow() = default;

bool FramelessWindow::nativeEvent(const QByteArray& eventType, void* message, long* result) {
  return QMainWindow::nativeEvent(eventType, message, result);
}

FramelessDialog::FramelessDialog(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  winId();
}

FramelessDialog::~FramelessDialog() = default;

bool FramelessDialog::nativeEvent(const QByteArray& eventType, void* message, long* result) {
  return QDialog::nativeEvent(eventType, message, result);
}
