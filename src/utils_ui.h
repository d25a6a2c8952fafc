#pragma once

// The utilities that reach the program's windows: the main window, the
// keystroke overlay and window activation. UI code only.

class QEvent;
class QWidget;
class MainWindow;

void BringWindowToFront(QWidget* widget);
MainWindow* FindMainWindow();
void PostToMainWindow(QEvent* event);
// Pushes the /keymouse settings into the keystroke overlay and installs its
// keyboard hook.
void ApplyKeyMouseSettings();
