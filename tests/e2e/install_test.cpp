#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include "constants.h"
#include "e2esupport.h"
#include "support/testsupport.h"

namespace {

using namespace e2e;

QString ReadText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// `cmake --install` into a prefix with a space in it: the installed program
// starts, finds its capture library beside itself, and the desktop entry
// starts it by its quoted path.
TEST(Install, InstalledProgramStartsWithItsLibrary) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
  platform::Backend::Use(platform::BackendKind::X11);
  static int argc = 1;
  static char name[] = "install_test";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  testsupport::TempDir dir;
  const QString prefix = QString::fromStdString(dir.path()) + "/pre fix";
  ASSERT_EQ(QProcess::execute("cmake", {"--install", QString::fromStdString(testsupport::BuildDir()),
                                        "--prefix", prefix}),
            0);

  const QString program = prefix + "/bin/korvorec";
  const QString folder = QFileInfo(QFileInfo(program).canonicalFilePath()).absolutePath();
  EXPECT_TRUE(QFileInfo(program).isExecutable());
  EXPECT_TRUE(QFileInfo::exists(folder + "/libglance.so"));
  EXPECT_TRUE(ReadText(folder + "/license.txt").contains("FFmpeg"));
  EXPECT_TRUE(QFileInfo::exists(prefix + "/share/icons/hicolor/256x256/apps/korvorec.png"));
  const QString entry = ReadText(prefix + "/share/applications/korvorec.desktop");
  EXPECT_TRUE(entry.contains(QStringLiteral("\nName=Korvo录屏\n"))) << entry.toStdString();
  EXPECT_TRUE(entry.contains("\nExec=\"" + program + "\"\n")) << entry.toStdString();
  EXPECT_TRUE(entry.contains("\nIcon=korvorec\n"));
  // The desktop entry and the AppStream metainfo pass their validators.
  EXPECT_EQ(QProcess::execute("desktop-file-validate",
                              {prefix + "/share/applications/korvorec.desktop"}),
            0);
  const QString metainfo = prefix + "/share/metainfo/example.korvorec.korvorec.metainfo.xml";
  EXPECT_TRUE(ReadText(metainfo).contains("korvorec.desktop</launchable>"));
  EXPECT_EQ(QProcess::execute("appstreamcli", {"validate", "--no-net", metainfo}), 0);

  // --help and --version print and end at once, without a display.
  for (const QString& option : {QString("--help"), QString("--version")}) {
    QProcess query;
    QProcessEnvironment env = EnvironmentWithHome(QString::fromStdString(dir.path()) + "/home");
    env.remove("DISPLAY");
    query.setProcessEnvironment(env);
    query.start(program, {option});
    ASSERT_TRUE(query.waitForFinished(5000)) << option.toStdString();
    EXPECT_EQ(query.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(query.exitCode(), 0) << option.toStdString();
    const QString text = QString::fromUtf8(query.readAllStandardOutput());
    EXPECT_TRUE(text.contains(option == "--help" ? QString("/background") : QString(kAppVersion)))
        << option.toStdString() << ": " << text.toStdString();
  }

  InstanceRunning();  // a copy that died leaves its segment: this drops it
  ASSERT_FALSE(InstanceRunning()) << "another korvorec runs on this machine";
  ChildProcess installed;
  installed.setProcessEnvironment(EnvironmentWithHome(QString::fromStdString(dir.path()) + "/home"));
  installed.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  installed.start(program, QStringList());
  ASSERT_TRUE(installed.waitForStarted(5000));
  ASSERT_TRUE(WaitFor(MainShown)) << "the installed program shows no window";
  const QString maps = ReadText(QString("/proc/%1/maps").arg(installed.processId()));
  EXPECT_TRUE(maps.contains(folder + "/libglance.so")) << "the capture library is not loaded";
  installed.terminate();
  ASSERT_TRUE(installed.waitForFinished(15000));
  EXPECT_EQ(installed.exitCode(), 0);
}

}  // namespace
