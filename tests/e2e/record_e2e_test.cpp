#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <functional>

#include "constants.h"
#include "platform/windows.h"
#include "support/mediaprobe.h"
#include "e2esupport.h"
#include "support/testsupport.h"

namespace {

using namespace e2e;

// Starts the real program with its own home folder, recording into out with
// the given settings lines.
void StartProgram(ChildProcess& program, const QString& home, const QString& out,
                  const QString& settings, const QString& display = QString()) {
  QDir().mkpath(home + "/.config/Korvo");
  QFile conf(home + "/.config/Korvo/screenrecorder.conf");
  ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
  conf.write(QString("[%General]\nfilesaveurl=%1\n%2").arg(out, settings).toUtf8());
  conf.close();
  QProcessEnvironment env = EnvironmentWithHome(home);
  if (!display.isEmpty()) env.insert("DISPLAY", display);
  program.setProcessEnvironment(env);
  program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  program.start(QString::fromStdString(testsupport::BuildDir()) + "/korvorec", QStringList());
  ASSERT_TRUE(program.waitForStarted(5000));
}

// The one recording in out, read back: an ordinary MP4 whose picture and
// sound decode cleanly.
void ProbeTheRecording(const QString& out, testsupport::MediaProbe* probe) {
  const QStringList files = QDir(out).entryList({"*.mp4"}, QDir::Files);
  ASSERT_EQ(files.size(), 1);
  *probe = testsupport::ProbeMedia((out + "/" + files.front()).toStdString());
  ASSERT_TRUE(probe->opened);
  EXPECT_TRUE(probe->ordinary);
  ASSERT_NE(probe->Video(), nullptr);
  ASSERT_NE(probe->Audio(), nullptr);
  EXPECT_EQ(probe->decodeErrors, 0);
}

// The X server ends (log-out) while recording: the file is finished before
// the program exits.
TEST(RecordEndToEnd, DisplayGoneMidRecordingLeavesAPlayableRecording) {
  if (!testsupport::HaveDisplay() || !testsupport::HavePulse())
    GTEST_SKIP() << "needs the test display and sound server";
  testsupport::OwnXvfb xvfb;
  ASSERT_FALSE(xvfb.display().empty());
  const QString display = QString::fromStdString(xvfb.display());
  testsupport::TempDir home;
  const QString h = QString::fromStdString(home.path());
  const QString out = h + "/out";
  ChildProcess program;
  ASSERT_NO_FATAL_FAILURE(StartProgram(program, h, out,
                                       "record_status_bar=false\n[record]\nrecordtype=0\n"
                                       "recordaudio=0\nrecordresolution=4\nvideoframerate=20\n",
                                       display));
  QProcess xdotool;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DISPLAY", display);
  xdotool.setProcessEnvironment(env);
  xdotool.start("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Korvo"});
  ASSERT_TRUE(xdotool.waitForFinished(15000)) << "main window never shown";
  xdotool.start("xdotool", {"key", "alt+9"});  // the start/pause hot key
  ASSERT_TRUE(xdotool.waitForFinished(5000));
  ASSERT_TRUE(WaitFor([&] { return !QDir(out).entryList({"*.mp4"}, QDir::Files).isEmpty(); }));
  QThread::msleep(2500);
  xvfb.Kill(SIGKILL);

  ASSERT_TRUE(program.waitForFinished(15000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  testsupport::MediaProbe probe;
  ASSERT_NO_FATAL_FAILURE(ProbeTheRecording(out, &probe));
  EXPECT_GT(probe.duration, 1.5);
  EXPECT_GE(probe.Video()->decodedFrames, 2);
  QFile log(h + "/.local/share/ScreenRecorder/log/sr.INFO");
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  EXPECT_TRUE(log.readAll().contains("X display is gone")) << "no log line on the way out";
}

}  // namespace
