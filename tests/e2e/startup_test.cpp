#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QProcess>
#include <QSharedMemory>
#include <QThread>
#include <QWidget>

#include <functional>

#include "constants.h"
#include "platform/windows.h"
#include "e2esupport.h"
#include "support/testsupport.h"

namespace {

using namespace e2e;

// Starts the real program with its own home folder.
class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    platform::Backend::Use(platform::BackendKind::X11);
    m_env = QProcessEnvironment::systemEnvironment();
    const QString home = QString::fromStdString(m_home.path());
    m_env.insert("HOME", home);
    m_env.insert("XDG_CONFIG_HOME", home + "/.config");
    m_env.insert("XDG_DATA_HOME", home + "/.local/share");
    m_program = QString::fromStdString(testsupport::BuildDir()) + "/korvorec";
    InstanceRunning();  // a copy that died leaves its segment: this drops it
    ASSERT_FALSE(InstanceRunning()) << "another korvorec runs on this machine";
  }

  void TearDown() override {
    for (QProcess* p : m_processes) {
      if (p->state() != QProcess::NotRunning) {
        p->terminate();
        if (!p->waitForFinished(5000)) p->kill();
        p->waitForFinished(5000);
      }
      delete p;
    }
  }

  QProcess* Start(const QStringList& args) {
    auto* p = new e2e::ChildProcess;
    p->setProcessEnvironment(m_env);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(m_program, args);
    EXPECT_TRUE(p->waitForStarted(5000));
    m_processes.push_back(p);
    return p;
  }

  void Stop(QProcess* p) {
    p->terminate();
    if (!p->waitForFinished(5000)) p->kill();
    p->waitForFinished(5000);
    WaitFor([] { return !InstanceRunning() && FindMain() == 0; }, 5000);
  }

  testsupport::TempDir m_home;
  QProcessEnvironment m_env;
  QString m_program;
  std::vector<QProcess*> m_processes;
};

int& Argc() {
  static int argc = 1;
  return argc;
}

QApplication& App() {
  static char arg0[] = "startup_test";
  static char* argv[] = {arg0, nullptr};
  static QApplication app(Argc(), argv);
  return app;
}

TEST_F(StartupTest, SecondStartRaisesTheFirstWindowAndExitsZero) {
  App();
  QProcess* first = Start({});
  ASSERT_TRUE(WaitFor(MainShown)) << "main window never appeared: " << DescribeWindows();
  const platform::WindowId window = FindMain();
  // It draws nothing with OpenGL and so loads no GL driver, tens of MB resident.
  QFile maps(QString("/proc/%1/maps").arg(first->processId()));
  ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
  EXPECT_FALSE(maps.readAll().contains("_dri.so"));

  // Cover it with a window of our own.
  QWidget cover;
  cover.setWindowFlags(Qt::FramelessWindowHint);
  cover.setGeometry(0, 0, 1920, 1080);
  cover.show();
  ASSERT_TRUE(WaitFor([&] { return platform::Windows().IsCovered(window); }));

  QProcess* second = Start({});
  ASSERT_TRUE(second->waitForFinished(15000));
  EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second->exitCode(), 0);
  EXPECT_TRUE(WaitFor([&] { return !platform::Windows().IsCovered(window); }))
      << "the running window was not raised: " << DescribeWindows();
  EXPECT_EQ(first->state(), QProcess::Running);
  // The second start still set up its data folders and log.
  EXPECT_TRUE(QDir(QString::fromStdString(m_home.path()) + "/.local/share/ScreenRecorder/log")
                  .exists());
}

TEST_F(StartupTest, BackgroundOnlyAsTheExactFirstArgument) {
  App();
  QProcess* hidden = Start({"/background"});
  ASSERT_TRUE(WaitFor([] { return FindMain() != 0; })) << "program did not come up";
  QThread::msleep(500);
  EXPECT_FALSE(MainShown()) << "started hidden, yet the window is shown";
  Stop(hidden);

  const QStringList shownCases[] = {{"/Background"}, {"x", "/background"}};
  for (const QStringList& args : shownCases) {
    QProcess* p = Start(args);
    EXPECT_TRUE(WaitFor(MainShown)) << args.join(' ').toStdString();
    Stop(p);
  }
}

TEST_F(StartupTest, StartsAgainAfterTheFirstCopyWasKilled) {
  App();
  QProcess* first = Start({});
  ASSERT_TRUE(WaitFor([] { return FindMain() != 0; }));
  first->kill();  // no clean-up: the guard's segment is left behind
  first->waitForFinished(5000);
  ASSERT_TRUE(WaitFor([] { return FindMain() == 0; }));

  QProcess* again = Start({});
  EXPECT_TRUE(WaitFor([] { return FindMain() != 0; })) << "a dead copy blocks every new start";
  EXPECT_EQ(again->state(), QProcess::Running);
}

}  // namespace
