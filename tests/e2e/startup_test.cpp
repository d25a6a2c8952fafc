#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
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
    m_env = EnvironmentWithHome(QString::fromStdString(m_home.path()));
    m_program = QString::fromStdString(testsupport::BuildDir()) + "/korvorec";
    // A probe drops a segment that a copy which died left; one that the last
    // test's copy still holds goes when that copy has finished exiting.
    ASSERT_TRUE(WaitFor([] { return !InstanceRunning(); }, 5000))
        << "another korvorec runs on this machine: " << RunningCopies();
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
  const qint64 secondPid = second->processId();
  ASSERT_TRUE(second->waitForFinished(15000));
  EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second->exitCode(), 0);
  EXPECT_TRUE(WaitFor([&] { return !platform::Windows().IsCovered(window); }))
      << "the running window was not raised: " << DescribeWindows();
  EXPECT_EQ(first->state(), QProcess::Running);
  // The second start still set up its data folders and its own log, named
  // after its process.
  const QStringList logs =
      QDir(QString::fromStdString(m_home.path()) + "/.local/share/ScreenRecorder/log")
          .entryList({"sr*." + QString::number(secondPid)}, QDir::Files);
  EXPECT_EQ(logs.size(), 1);
}

// Two copies started in the same instant, as a double click on a menu entry
// does: one runs with one main window, the other ends at once.
TEST_F(StartupTest, OfTwoCopiesStartedAtOnceOneRuns) {
  App();
  for (int round = 0; round < 3; ++round) {
    QProcess* a = Start({});
    QProcess* b = Start({});
    ASSERT_TRUE(WaitFor([&] {
      return (a->state() == QProcess::NotRunning) != (b->state() == QProcess::NotRunning);
    })) << "round " << round << ": " << RunningCopies();
    QProcess* ended = a->state() == QProcess::NotRunning ? a : b;
    EXPECT_EQ(ended->exitCode(), 0);
    ASSERT_TRUE(WaitFor(MainShown));
    QThread::msleep(500);
    int windows = 0;
    for (const auto& w : platform::Windows().EnumerateTopLevel())
      windows += w.title == kAppName && w.visible;
    EXPECT_EQ(windows, 1) << DescribeWindows();
    Stop(a == ended ? b : a);
  }
}

TEST_F(StartupTest, BackgroundOnlyAsTheExactFirstArgument) {
  App();
  // The test desktop has a tray host: hidden, with its icon.
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

// On a bare display no tray icon could bring a hidden window back: it is
// minimised instead.
TEST_F(StartupTest, BackgroundWithoutATrayHostMinimises) {
  testsupport::OwnXvfb bare;
  ASSERT_FALSE(bare.display().empty());
  m_env.insert("DISPLAY", QString::fromStdString(bare.display()));
  QProcess* p = Start({"/background"});
  const auto onBare = [&](const QString& program, const QStringList& args) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", QString::fromStdString(bare.display()));
    tool.setProcessEnvironment(env);
    tool.start(program, args);
    tool.waitForFinished(5000);
    return tool.readAllStandardOutput();
  };
  QByteArray window;
  ASSERT_TRUE(WaitFor([&] {
    window = onBare("xdotool", {"search", "--name", "^Korvo"}).split('\n').value(0);
    return !window.isEmpty();
  })) << "program did not come up";
  EXPECT_TRUE(WaitFor([&] {
    return onBare("xprop", {"-id", window, "_NET_WM_STATE"}).contains("_NET_WM_STATE_HIDDEN");
  }, 5000));
  Stop(p);
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

// Damaged settings files: the program starts on the defaults, tells each bad
// value once (the schedule is read every second) and leaves the file as it
// is, since no setting was changed.
TEST_F(StartupTest, DamagedSettingsFilesAreToldOnceAndLeftAsTheyAre) {
  App();
  const QString folder = QString::fromStdString(m_home.path()) + "/.config/Korvo";
  const QString path = folder + "/screenrecorder.conf";
  const QString log =
      QString::fromStdString(m_home.path()) + "/.local/share/ScreenRecorder/log/sr.INFO";
  QByteArray garbage;
  for (int i = 0; i < 3000; ++i) garbage.append(char((i * 7919 + 13) % 251));
  const struct {
    const char* name;
    QByteArray content;  // empty: the file is a folder, which cannot be read
    QStringList told;
  } cases[] = {
      {"truncated", "[%General]\nfilesaveurl=/tmp\n[record]\nrecordresolution=3\nvideofra",
       {"is damaged"}},
      {"garbage", garbage, {"is damaged"}},
      {"duplicate keys and wrong types",
       "[%General]\nfilesaveurl=42\n"
       "[record]\nrecordaudio=1\nrecordaudio=9\nenable_record_schedule=true\n"
       "record_task={not json\nstartpausehotkey=1, 2, 3\n"
       "[keymouse]\nshowkeystroke=true\nshowcombinekey=sometimes\ncolor=notacolor\n"
       "font=\"Sans,x,y\"\n"
       "[record]\nrecordtype=window\n",
       {"/general/filesaveurl=", "/record/recordaudio=\"9\"", "/record/record_task=",
        "/record/startpausehotkey=", "/keymouse/showcombinekey=", "/keymouse/color=",
        "/keymouse/font=", "/record/recordtype="}},
      {"unreadable", QByteArray(), {"cannot be read"}},
  };
  for (const auto& c : cases) {
    QDir(folder).removeRecursively();
    QDir().mkpath(c.content.isEmpty() ? path : folder);
    if (!c.content.isEmpty()) {
      QFile file(path);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(c.content);
    }
    const QDateTime written = QFileInfo(path).lastModified();
    QProcess* p = Start({});
    ASSERT_TRUE(WaitFor([] { return FindMain() != 0; })) << c.name << ": program did not come up";
    QThread::msleep(2200);
    Stop(p);

    EXPECT_EQ(QFileInfo(path).lastModified(), written) << c.name;
    if (!c.content.isEmpty()) {
      QFile file(path);
      ASSERT_TRUE(file.open(QIODevice::ReadOnly));
      EXPECT_EQ(file.readAll(), c.content) << c.name;
    }
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    for (const QString& told : c.told)
      EXPECT_EQ(text.count(told.toUtf8()), 1) << c.name << ": " << told.toStdString();
  }
}

TEST_F(StartupTest, WaylandSessionIsWarnedAboutOnceAtStart) {
  App();
  const QString log =
      QString::fromStdString(m_home.path()) + "/.local/share/ScreenRecorder/log/sr.INFO";
  const struct {
    const char* variable;
    const char* value;
    int warnings;
  } cases[] = {{"XDG_SESSION_TYPE", "x11", 0},
               {"XDG_SESSION_TYPE", "wayland", 1},
               {"WAYLAND_DISPLAY", "wayland-0", 1}};
  for (const auto& c : cases) {
    m_env.remove("XDG_SESSION_TYPE");
    m_env.remove("WAYLAND_DISPLAY");
    m_env.insert(c.variable, c.value);
    QProcess* p = Start({});
    // Shown by the event loop, which runs once the start-up has told it all.
    ASSERT_TRUE(WaitFor([] { return MainShown(); })) << "program did not come up";
    Stop(p);
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // Told on screen, once, what this session lets the program do.
    EXPECT_EQ(file.readAll().count("told the user: Wayland 会话："), c.warnings)
        << c.variable << "=" << c.value;
  }
}

// Without a display nothing can be recorded: the program says why in its
// log and fails, even where the toolkit itself could run (offscreen). In a
// Wayland session without XWayland it also says that it needs XWayland.
TEST_F(StartupTest, WithoutADisplayItLogsWhyAndFails) {
  m_env.remove("DISPLAY");
  m_env.remove("KORVOREC_PLATFORM");
  m_env.insert("QT_QPA_PLATFORM", "offscreen");
  m_env.insert("XDG_SESSION_TYPE", "wayland");
  QProcess* p = Start({});
  ASSERT_TRUE(p->waitForFinished(15000)) << "it runs without a display";
  EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
  EXPECT_NE(p->exitCode(), 0);
  QFile log(QString::fromStdString(m_home.path()) + "/.local/share/ScreenRecorder/log/sr.INFO");
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  const QByteArray text = log.readAll();
  EXPECT_TRUE(text.contains("DISPLAY is not set"));
  EXPECT_EQ(text.count("this Wayland session has no XWayland"), 1);
}

}  // namespace
