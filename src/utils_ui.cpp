// The utilities that reach the program's windows, kept apart so that the
// recording engine, which uses the rest, links no UI.

#include "utils_ui.h"

#include <QApplication>
#include <QCoreApplication>
#include <QWidget>

#include <glog/logging.h>

#include "platform/windows.h"
#include "utils.h"

QWidget* FindMainWindow() {
  // By its meta-object's class name: the windows that talk to it do not
  // include it.
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->inherits("MainWindow")) return w;
  return nullptr;
}

void PostToMainWindow(QEvent* event) {
  if (!event) {
    LOG(ERROR) << "event is null";
    return;
  }
  if (QWidget* window = FindMainWindow()) {
    QCoreApplication::postEvent(window, event, Qt::NormalEventPriority);
    return;
  }
  delete event;  // nobody to take it
}

void BringWindowToFront(QWidget* widget) {
  if (!widget) return;
  const platform::WindowId id = static_cast<platform::WindowId>(widget->winId());
  const platform::WindowId foreground = platform::Windows().ForegroundWindow();
  const Qt::WindowStates state = widget->windowState();
  if (!IsWindowCovered(id) && foreground == id) {
    LOG(INFO) << "windows is not covered";
    return;
  }
  LOG(INFO) << "Win state is " << static_cast<int>(state);
  const int s = static_cast<int>(state);
  if (s == 1 || s == 5 || s == 8 || s == 13) {
    widget->activateWindow();
    widget->setWindowState((state & ~Qt::WindowMinimized) | Qt::WindowActive);
    widget->raise();
  }
  if (widget->isHidden()) widget->show();
  platform::Windows().Activate(id);
}

bool SendToMainWindow(QEvent* event) {
  QWidget* window = FindMainWindow();
  return window && QCoreApplication::sendEvent(window, event);
}
