// The utilities that reach the main window and the keystroke overlay, kept
// apart so that the recording engine, which uses the rest, links no UI.

#include <QApplication>
#include <QCoreApplication>

#include <glog/logging.h>

#include "mainwindow/mainwindow.h"
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
