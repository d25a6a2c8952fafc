#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QFont>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSharedMemory>
#include <QThread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/fake/fake_monitors.h"
#include "platform/fake/fake_shell.h"
#include "platform/modules.h"
#include "settings.h"
#include "support/logcapture.h"
#include "support/testsupport.h"
#include "utils.h"

namespace {

class UtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Settings::Instance()->Init());
    platform::Backend::Use(platform::BackendKind::Fake);
    platform::fake::FakeShell::Instance().Reset();
    platform::fake::FakeMonitors::Instance().Reset();
  }
  testsupport::TempDir m_dir;
};


TEST_F(UtilsTest, CreateDirMakesNestedFoldersAndReportsFailures) {
  const std::string nested = m_dir.path() + "/a/b/c";
  EXPECT_TRUE(CreateDir(nested));
  EXPECT_TRUE(DirExists(nested));
  EXPECT_TRUE(DirExists(nested + "/"));
  {
    testsupport::LogCapture log;
    EXPECT_TRUE(CreateDir(nested + "/"));  // existing: true, and nothing wrong
    EXPECT_EQ(log.SeverityOf("dir has existed"), google::GLOG_INFO);
  }
  // A file in the way, and a folder that cannot be written.
  std::ofstream(m_dir.path() + "/file") << "x";
  EXPECT_FALSE(CreateDir(m_dir.path() + "/file/sub"));
  EXPECT_FALSE(DirExists(m_dir.path() + "/file"));
  if (geteuid() != 0) {
    chmod(nested.c_str(), 0500);
    EXPECT_FALSE(CreateDir(nested + "/denied"));
    chmod(nested.c_str(), 0700);
  }
}

TEST_F(UtilsTest, NewRecordFileNameIsTheStartTimeInTheSaveFolder) {
  const QString folder = QString::fromStdString(m_dir.path()) + "/录像 folder";
  const QDateTime before = QDateTime::currentDateTime();
  const std::string name = NewRecordFileName(folder);
  const QString path = QString::fromUtf8(name.c_str());
  ASSERT_TRUE(path.startsWith(folder + "/")) << name;
  const QString base = path.mid(folder.size() + 1);
  ASSERT_TRUE(QRegularExpression("^\\d{8}_\\d{6}\\.mp4$").match(base).hasMatch()) << name;
  const QDateTime stamp = QDateTime::fromString(base.left(15), "yyyyMMdd_hhmmss");
  EXPECT_LE(qAbs(stamp.secsTo(before)), 2);
  EXPECT_TRUE(QDir(folder).exists());  // made on the way, under its UTF-8 name

  std::ofstream(m_dir.path() + "/blocker") << "x";
  EXPECT_EQ(NewRecordFileName(QString::fromStdString(m_dir.path()) + "/blocker/sub"), "");
}

TEST_F(UtilsTest, DisplayScalesFollowTheMonitorsDpi) {
  auto& monitors = platform::fake::FakeMonitors::Instance();
  const std::pair<int, double> cases[] = {{96, 1.0},  {120, 1.25}, {144, 1.5}, {168, 1.75},
                                          {192, 2.0}, {110, 1.0},  {72, 1.0}};
  for (const auto& [dpi, scale] : cases) {
    monitors.SetDpi("screen0", dpi, dpi);
    EXPECT_DOUBLE_EQ(GetDeviceScale("screen0"), scale) << dpi;
  }
  monitors.SetDpi("screen0", 120, 96);  // average 108
  EXPECT_DOUBLE_EQ(GetDeviceScale("screen0"), 1.0);
}

TEST_F(UtilsTest, AutorunEntryIsWrittenOnlyWhenItDiffers) {
  auto& shell = platform::fake::FakeShell::Instance();
  SetAutoRun("korvorec");
  ASSERT_EQ(shell.AutorunWrites(), 1);
  EXPECT_EQ(*shell.ReadAutorunEntry("korvorec"), platform::ProgramPath() + " /background");
  SetAutoRun("korvorec");
  EXPECT_EQ(shell.AutorunWrites(), 1);
  shell.WriteAutorunEntry("korvorec", "/old/path /background");
  SetAutoRun("korvorec");
  EXPECT_EQ(shell.AutorunWrites(), 3);
  DeleteAutoRun("korvorec");
  EXPECT_FALSE(shell.ReadAutorunEntry("korvorec").has_value());
}

TEST_F(UtilsTest, RealAutostartFileHoldsTheCommand) {
  platform::Backend::Use(platform::BackendKind::X11);
  SetAutoRun("korvorec");
  const QString file = QString::fromStdString(testsupport::UserFolder()) + "/config/autostart/korvorec.desktop";
  ASSERT_TRUE(QFile::exists(file));
  QFile f(file);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(f.readAll());
  EXPECT_TRUE(text.contains(QString::fromStdString(
      "Exec=" + DesktopEntryExec({platform::ProgramPath(), "/background"}))));
  const QDateTime written = QFileInfo(file).lastModified();
  f.close();
  {
    QFile touch(file);
    ASSERT_TRUE(touch.open(QIODevice::ReadWrite));
    touch.setFileTime(written.addSecs(-100), QFileDevice::FileModificationTime);
  }
  SetAutoRun("korvorec");  // same command: untouched
  EXPECT_EQ(QFileInfo(file).lastModified(), written.addSecs(-100));
  DeleteAutoRun("korvorec");
  EXPECT_FALSE(QFile::exists(file));
}

// A copy of this program started by its autostart entry writes down the
// arguments it was given and ends at once (see the case below).
const bool g_startedByItsEntry = [] {
  const char* out = std::getenv("KORVOREC_AUTOSTART_ECHO");
  if (!out) return false;
  std::ifstream cmdline("/proc/self/cmdline");
  std::ofstream echo(out);
  for (std::string arg; std::getline(cmdline, arg, '\0');) echo << arg << '\n';
  echo.close();
  _exit(0);
}();

// Run in a copy of this program (the case below): the entry for the copy.
TEST(AutostartProbe, WritesTheEntry) {
  const char* config = std::getenv("KORVOREC_AUTOSTART_WRITE");
  if (!config) GTEST_SKIP() << "run by the case below";
  setenv("XDG_CONFIG_HOME", config, 1);
  platform::Backend::Use(platform::BackendKind::X11);
  SetAutoRun("awkward");
}

// A desktop's own parser (GLib's, through gio) starts the program that wrote
// its entry from a folder whose name holds every awkward character, with
// exactly "/background".
TEST_F(UtilsTest, AutostartEntryStartsTheProgramFromAnAwkwardFolder) {
  // (GLib finds no program whose path holds a "%".)
  const std::string folder = m_dir.path() + "/my \"rec\" $HOME `x` \\ 'q'";
  ASSERT_TRUE(CreateDir(folder));
  const std::string copy = folder + "/utils_test";
  std::ifstream self("/proc/self/exe", std::ios::binary);
  std::ofstream(copy, std::ios::binary) << self.rdbuf();
  ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
  const std::string config = m_dir.path() + "/config";
  QProcess writer;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("KORVOREC_AUTOSTART_WRITE", QString::fromStdString(config));
  writer.setProcessEnvironment(env);
  writer.start(QString::fromStdString(copy), {"--gtest_filter=AutostartProbe.WritesTheEntry"});
  ASSERT_TRUE(writer.waitForFinished(15000));
  ASSERT_EQ(writer.exitCode(), 0);

  const auto launch = [&](const std::string& entry) {
    const std::string out = entry + ".args";
    EXPECT_EQ(std::system(("KORVOREC_AUTOSTART_ECHO='" + out + "' gio launch '" + entry + "'").c_str()), 0);
    std::vector<std::string> seen;
    for (int i = 0; i < 200 && seen.size() < 2; ++i) {
      QThread::msleep(20);
      seen.clear();
      std::ifstream in(out);
      for (std::string line; std::getline(in, line);) seen.push_back(line);
    }
    return seen;
  };
  EXPECT_EQ(launch(config + "/autostart/awkward.desktop"), (std::vector<std::string>{copy, "/background"}));
  // An argument with a "%", which the entry would otherwise read as a field code.
  const std::string percent = m_dir.path() + "/percent.desktop";
  std::ofstream(percent) << "[Desktop Entry]\nType=Application\nName=percent\nExec="
                         << DesktopEntryExec({copy, "100% %f \"done\""}) << "\n";
  EXPECT_EQ(launch(percent), (std::vector<std::string>{copy, "100% %f \"done\""}));
}

TEST(InstanceGuard, OfTwoAtTheSameMomentOneWins) {
  const QString key = "korvorec-guard-test-" + QString::number(getpid());
  for (int round = 0; round < 100; ++round) {
    QSharedMemory first(key), second(key);
    std::atomic<int> ready{0};
    bool won[2] = {false, false};
    auto claim = [&](QSharedMemory* guard, bool* result) {
      ++ready;
      while (ready < 2) {
      }
      *result = CreateInstanceGuard(guard);
    };
    std::thread a(claim, &first, &won[0]);
    std::thread b(claim, &second, &won[1]);
    a.join();
    b.join();
    ASSERT_NE(won[0], won[1]) << "round " << round;
  }
}

// A copy that died holding the guard leaves its segment, held by nobody;
// the system key may also come back for another key file. Not a running copy.
TEST(InstanceGuard, ASegmentThatNoProcessHoldsIsTakenOver) {
  const QString key = "korvorec-guard-left-" + QString::number(getpid());
  const pid_t child = fork();
  if (child == 0) {
    QSharedMemory guard(key);
    _exit(guard.create(1) ? 0 : 1);  // no detach: as if killed
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  QSharedMemory guard(key), second(key);
  EXPECT_TRUE(CreateInstanceGuard(&guard));
  EXPECT_FALSE(CreateInstanceGuard(&second)) << "a running copy still holds it";
}

TEST_F(UtilsTest, DesktopIconSwitchThrowsWhereItCannotWork) {
  try {
    SetDesktopIconsVisible(false);
    FAIL() << "expected std::system_error";
  } catch (const std::system_error& e) {
    EXPECT_LT(e.code().value(), 0);
    EXPECT_NE(std::string(e.what()).find("Failed to find desktop window"), std::string::npos);
  }
  SetTaskbarVisible(false);  // unsupported: logged, no throw
  EXPECT_NO_THROW(ThrowIfFailed(0, "fine"));
  EXPECT_THROW(ThrowIfFailedString(-5, "bad"), std::system_error);
}

TEST_F(UtilsTest, PowerActionsGoThroughTheLayer) {
  HibernateSystem();
  ShutdownSystem();
  EXPECT_EQ(platform::fake::FakeShell::Instance().PowerActions(),
            (std::vector<std::string>{"hibernate", "shutdown"}));
}

TEST_F(UtilsTest, ParseJsonGivesObjectsOnly) {
  EXPECT_TRUE(ParseJson("[1, 2]").isEmpty());
  EXPECT_TRUE(ParseJson("{broken").isEmpty());
  EXPECT_EQ(ParseJson("{\"a\": 3}").value("a").toInt(), 3);
}

TEST_F(UtilsTest, WatermarkImageIsTransparentWithTheText) {
  int argc = 1;
  char arg0[] = "utils_test";
  char* argv[] = {arg0, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  const QString out = QString::fromStdString(m_dir.path()) + "/wm.png";
  ASSERT_TRUE(
      SaveWatermarkImage("", QString(60, QChar('W')), QFont(), QColor(0, 255, 0), 2000, 40, out));
  QImage image(out);
  ASSERT_EQ(image.size(), QSize(2000, 40));
  EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
  EXPECT_EQ(qAlpha(image.pixel(1999, 39)), 0);
  int rightmost = -1;
  for (int x = 0; x < image.width(); ++x)
    for (int y = 0; y < image.height(); ++y)
      if (qAlpha(image.pixel(x, y)) > 0 && qGreen(image.pixel(x, y)) > 100) rightmost = x;
  ASSERT_GT(rightmost, 10);
  // The box is only as wide as the first 50 characters.
  const int width50 = QFontMetrics(QFont()).horizontalAdvance(QString(50, QChar('W')));
  EXPECT_LT(rightmost, 10 + width50 * 2);
  EXPECT_FALSE(SaveWatermarkImage("", "x", QFont(), QColor(), 0, 40, out));
}

}  // namespace
