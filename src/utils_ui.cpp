// The utilities that reach the main window and the keystroke overlay, kept
// apart so that the recording engine, which uses the rest, links no UI.

#include "utils_ui.h"

#include <QApplication>
#include <QCoreApplication>
#include <QWidget>

#include <glog/logging.h>

#include "mainwindow/mainwindow.h"
#include "platform/windows.h"
#include "settings.h"
#include "settingsdialog/keymousedisplay.h"
#include "utils.h"

MainWindow* FindMainWindow() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* window = qobject_cast<MainWindow*>(w)) return window;
  return nullptr;
}

void PostToMainWindow(QEvent* event) {
  if (!event) {
    LOG(ERROR) << "event is null";
    return;
  }
  if (MainWindow* window = FindMainWindow()) {
    QCoreApplication::postEvent(window, event, Qt::NormalEventPriority);
    return;
  }
  delete event;  // nobody to take it
}

void ApplyKeyMouseSettings() {
  Settings* settings = Settings::Instance();
  KeyMouseDisplay* display = KeyMouseDisplay::Instance();
  int flags = 0;
  if (settings->GetKeymouseShowcombinekey()) flags |= KeyMouseDisplay::kShowCombineKeys;
  if (settings->GetKeymouseShowcommonkey()) flags |= KeyMouseDisplay::kShowCommonKeys;
  display->SetDisplayFlags(flags);
  display->SetTextColor(settings->GetKeymouseColor());
  display->SetBackgroundColor(settings->GetKeymouseBackgroundcolor());
  display->SetKeyFont(settings->GetKeymouseFont());
  display->SetScreen(settings->GetKeymouseDisplayscreen());
  display->SetOpacity(settings->GetKeymouseBackgroundopacity());
  display->InstallHook();
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
