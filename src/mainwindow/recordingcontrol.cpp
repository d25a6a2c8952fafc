#include <glog/logging.h>

#include "mainwindow/mainwindow.h"

// The start, pause, resume and stop roads of the main window. They drive the
// Recorder and use ShowRecordingLook, ShowPausedLook and ShowIdleLook for
// the widgets; until the recorder is wired in, no recording exists.

bool MainWindow::IsRecording() const { return false; }

void MainWindow::StartPauseRecording() {
  LOG(WARNING) << "recording is not wired to the recorder yet";
}

void MainWindow::StopRecording() {}

void MainWindow::HandleRecorderEvent(int type, int code) {
  // The capture source was lost: stop on the GUI thread.
  if (type == 0 && code == 2) StopRecording();
}
