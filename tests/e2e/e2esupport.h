#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSharedMemory>
#include <QThread>

#include <sys/prctl.h>

#include <csignal>
#include <functional>
#include <string>

#include "constants.h"
#include "platform/windows.h"

// Helpers of the tests that run the real program.
namespace e2e {

// A child that is asked to end (as at log-out) when the test process dies,
// even when it dies without unwinding: a left-over copy of the program would
// answer every later test's start in its place.
class ChildProcess : public QProcess {
 protected:
  void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

// The environment for a run of the program with its own home folder
// (settings, logs, data).
inline QProcessEnvironment EnvironmentWithHome(const QString& home) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("HOME", home);
  env.insert("XDG_CONFIG_HOME", home + "/.config");
  env.insert("XDG_DATA_HOME", home + "/.local/share");
  return env;
}

inline constexpr char kInstanceKey[] = "screenrecorder20f25820-b63a-4150-b315-f5fa555b9ec6";

// Polls condition (handling this process's events, if it has an application)
// until it holds or ms have passed.
inline bool WaitFor(const std::function<bool()>& condition, int ms = 15000) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    if (condition()) return true;
    if (QCoreApplication::instance())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(50);
  }
  return condition();
}

inline platform::WindowId FindMain() {
  return platform::Windows().FindWindow(platform::kToolkitWindowClass, kAppName);
}

// The main window exists from the start (hidden in the tray it stays
// findable); shown means mapped on screen.
inline platform::WindowId ShownMainWindow() {
  const platform::WindowId id = FindMain();
  if (!id) return 0;
  for (const auto& w : platform::Windows().EnumerateTopLevel())
    if (w.id == id && w.visible) return id;
  return 0;
}

inline bool MainShown() { return ShownMainWindow() != 0; }

// True while a copy of the program holds the single-instance guard. A copy
// that died leaves its segment behind: the probe's own detach removes it.
inline bool InstanceRunning() {
  QSharedMemory probe(kInstanceKey);
  if (!probe.attach(QSharedMemory::ReadOnly)) return false;
  probe.detach();
  return true;
}

// The running copies of the program, for failure messages.
inline std::string RunningCopies() {
  QProcess pgrep;
  pgrep.start("pgrep", {"-a", "korvorec"});
  pgrep.waitForFinished(5000);
  return pgrep.readAllStandardOutput().toStdString();
}

// What is on screen, for failure messages.
inline std::string DescribeWindows() {
  std::string text;
  for (const auto& w : platform::Windows().EnumerateTopLevel())
    text += "[" + w.title + " visible=" + std::to_string(w.visible) + " rect=" +
            std::to_string(w.rect.left) + "," + std::to_string(w.rect.top) + "," +
            std::to_string(w.rect.right) + "," + std::to_string(w.rect.bottom) + "] ";
  return text;
}

}  // namespace e2e
