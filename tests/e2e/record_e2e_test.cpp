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

void Click(int x, int y) {
  QProcess::execute("xdotool", {"mousemove", QString::number(x), QString::number(y), "click", "1"});
}

// The real program, a prepared settings file, real display and sound; the
// user clicks start and stop.
TEST(RecordEndToEnd, ClickStartAndStopGivesAPlayableRecording) {
  if (!testsupport::HaveDisplay() || !testsupport::HavePulse())
    GTEST_SKIP() << "needs the test display and sound server";
  platform::Backend::Use(platform::BackendKind::X11);
  testsupport::TempDir home;
  const QString h = QString::fromStdString(home.path());
  const QString out = h + "/录像";
  QDir().mkpath(h + "/.config/Korvo");
  {
    QFile conf(h + "/.config/Korvo/screenrecorder.conf");
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(QString("[%General]\nfilesaveurl=%1\nrecord_status_bar=true\n"
                       "[record]\nrecordtype=0\nrecordaudio=0\nrecordresolution=3\n"
                       "videoframerate=20\n")
                   .arg(out)
                   .toUtf8());
  }
  const QProcessEnvironment env = EnvironmentWithHome(h);
  ChildProcess program;
  program.setProcessEnvironment(env);
  program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  program.start(QString::fromStdString(testsupport::BuildDir()) + "/korvorec", QStringList());
  ASSERT_TRUE(program.waitForStarted(5000));
  ASSERT_TRUE(WaitFor([] { return ShownMainWindow() != 0; })) << "main window never shown";
  QThread::msleep(500);
  const platform::Rect bounds = platform::Windows().WindowBounds(ShownMainWindow());

  QProcess tone;
  tone.start("sh", {"-c", "sox -n -t wav - synth 20 sine 660 2>/dev/null | paplay"});

  // Start and stop buttons of the record page (form geometry: the page sits
  // right of the 130-pixel sidebar, 60 pixels below the top).
  const int pageX = bounds.left + 130, pageY = bounds.top + 60;
  Click(pageX + 10 + 35, pageY + 438 + 40);
  QThread::msleep(3500);
  Click(pageX + 80 + 30, pageY + 438 + 10 + 30);
  ASSERT_TRUE(WaitFor([&] { return !QDir(out).entryList({"*.mp4"}, QDir::Files).isEmpty(); }));
  QThread::msleep(1000);
  tone.kill();
  tone.waitForFinished();
  program.terminate();  // asks the program to end, as a log-out does
  ASSERT_TRUE(program.waitForFinished(15000));
  EXPECT_EQ(program.exitCode(), 0);

  const QStringList files = QDir(out).entryList({"*.mp4"}, QDir::Files);
  ASSERT_EQ(files.size(), 1);
  const auto probe = testsupport::ProbeMedia((out + "/" + files.front()).toStdString());
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  ASSERT_NE(probe.Audio(), nullptr);
  EXPECT_EQ(probe.Video()->width, 720);
  EXPECT_GT(probe.duration, 2.0);
  EXPECT_LT(probe.duration, 6.0);
  // Frames come when the screen changes; here only the clock ticks.
  EXPECT_GE(probe.Video()->decodedFrames, 3);
  EXPECT_EQ(probe.decodeErrors, 0);
  EXPECT_GT(probe.Audio()->audioRms, 0.01);
}

}  // namespace
