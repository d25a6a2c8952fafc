#pragma once

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWidget>

#include <cstdlib>

#include "support/testsupport.h"

inline void InitShellResources() { Q_INIT_RESOURCE(resources); }

namespace guitest {

// One application object for the whole test program, on the test display.
inline QApplication* App() {
  static int argc = 1;
  static char name[] = "korvorec-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    auto* a = new QApplication(argc, argv);
    InitShellResources();
    return a;
  }();
  return app;
}

// Saves the screen area of a shown window into the build folder, for people
// to look at.
inline bool SaveScreenshot(QWidget* window, const QString& name) {
  const QString dir = QString::fromStdString(testsupport::BuildDir()) + "/screenshots";
  QDir().mkpath(dir);
  QApplication::processEvents();
  const QRect r = window->frameGeometry();
  QScreen* screen = QGuiApplication::primaryScreen();
  return screen->grabWindow(0, r.x(), r.y(), r.width(), r.height()).save(dir + "/" + name + ".png");
}

// A system tray host on the test display while it lives.
class TrayHost {
 public:
  TrayHost() {
    m_process.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request"});
    ok = m_process.waitForStarted(5000) &&
         QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000);
  }
  ~TrayHost() {
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) m_process.kill();
    m_process.waitForFinished(3000);
    (void)QTest::qWaitFor([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }, 3000);
  }
  bool ok = false;

 private:
  QProcess m_process;
};

}  // namespace guitest
