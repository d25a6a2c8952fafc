#pragma once

// The utilities that reach the program's windows: the main window and window
// activation. UI code only.

class QEvent;
class QWidget;

void BringWindowToFront(QWidget* widget);
// The main window as a plain widget; null when there is none.
QWidget* FindMainWindow();
// Hands the event to the main window's queue; deleted when there is none.
void PostToMainWindow(QEvent* event);
// Delivers the event at once; false when there is no main window or it did
// not take the event.
bool SendToMainWindow(QEvent* event);
