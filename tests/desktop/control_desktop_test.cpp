// How a user starts, pauses, stops, names and finds recordings on a desktop
// with a window manager, a compositor and a tray, through the real program.
#include <gtest/gtest.h>

#include <signal.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDateTime>
#include <QTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QProcess>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <random>

#include "platform/hotkeys.h"
#include "support/desktop.h"
#include "support/testsupport.h"

namespace {

using namespace desktop;

class ControlDesktop : public DesktopTest {};

// A window of another program that shows new noise 30 times a second: a
// high bit rate.
class NoiseWindow : public QWidget {
 public:
  NoiseWindow() {
    setWindowTitle("noise");
    setGeometry(100, 100, 800, 600);
    connect(&m_timer, &QTimer::timeout, this, [this] { update(); });
    m_timer.start(33);
    show();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QImage image(width() / 4, height() / 4, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) image.setPixel(x, y, m_random() | 0xFF000000u);
    QPainter(this).drawImage(rect(), image);
  }

 private:
  QTimer m_timer;
  std::minstd_rand m_random{7};
};

// The window picker (a 775 x 442 form) of the program, if it shows one.
std::vector<platform::TopLevelWindow> Pickers(const Program& program) {
  std::vector<platform::TopLevelWindow> pickers;
  for (const auto& w : program.Windows())
    if (std::abs(w.rect.Width() - Scaled(QPoint(775, 0)).x()) < 4) pickers.push_back(w);
  return pickers;
}

// Guards: a second start while a picker is open (a second picker, the
// first recording stopped or overwritten) and a file that takes the name of
// one already there.
TEST_F(ControlDesktop, OneStartAtATimeAndNoFileOverwritten) {
  NoiseWindow window;
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=3\nrecordaudio=3\n");
  // Files named as the recording would name itself in the next minute.
  const QDateTime now = QDateTime::currentDateTime();
  QStringList taken;
  for (int s = -2; s < 60; ++s) {
    taken << now.addSecs(s).toString("yyyyMMdd_hhmmss") + ".mp4";
    QFile file(program.out() + "/" + taken.back());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("kept");
  }
  ASSERT_TRUE(program.Start());
  Key("alt+9");
  ASSERT_TRUE(WaitFor([&] { return Pickers(program).size() == 1; })) << "no window picker";
  Key("alt+9");
  Sleep(1500);
  ASSERT_EQ(Pickers(program).size(), 1u) << "a second start opened a second picker";
  const platform::Rect picker = Pickers(program).front().rect;
  Click(QPoint(picker.left, picker.top) + Scaled(QPoint(100, 120)));
  Sleep(300);
  Click(QPoint(picker.left, picker.top) + Scaled(QPoint(520 + 46, 390 + 20)));
  ASSERT_TRUE(program.WaitRecording());
  Sleep(1500);
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  Sleep(500);
  EXPECT_EQ(program.LogCount("Start to record"), 1);
  for (const QString& name : taken) {
    QFile file(program.out() + "/" + name);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString() << " is gone";
    EXPECT_EQ(file.readAll(), "kept") << name.toStdString() << " was overwritten";
  }
  QStringList made = program.Files();
  for (const QString& name : taken) made.removeAll(name);
  ASSERT_EQ(made.size(), 1) << "files: " << program.AllFiles().join(' ').toStdString();
  EXPECT_GT(Decode(program.out() + "/" + made.front(), false).pictureTimes.size(), 10u);
}

// The floating status bar's pause and stop buttons (a 232 x 54 form).
QPoint StatusBarButton(const Program& program, int x) {
  for (const auto& w : program.Windows())
    if (std::abs(w.rect.Width() - Scaled(QPoint(232, 0)).x()) < 4)
      return QPoint(w.rect.left, w.rect.top) + Scaled(QPoint(x, 26));
  return QPoint();
}

// Guards: a paused stretch in the file, segments far over their size, a
// status bar whose buttons do not reach the recording, and SIGTERM swallowed
// under the box that counts the files.
TEST_F(ControlDesktop, PauseResumeSegmentsAndStopByTheStatusBar) {
  NoiseWindow window;
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=true\n"
      "[record]\nrecordtype=0\nrecordaudio=0\nfilesegment=2\nfssize=1\nvideoframerate=25\n");
  ASSERT_TRUE(program.Start());
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  Sleep(2000);
  ASSERT_FALSE(StatusBarButton(program, 23).isNull()) << "no status bar";
  Click(StatusBarButton(program, 23));  // pause
  ASSERT_TRUE(program.WaitLog("pause recording"));
  Sleep(2000);
  Click(StatusBarButton(program, 23));  // resume
  ASSERT_TRUE(program.WaitLog("Resume recording"));
  Sleep(2000);
  Click(StatusBarButton(program, 59));  // stop
  ASSERT_TRUE(program.WaitStopped());
  // The box that counts the files; a log-out (SIGTERM) under it ends the program.
  ASSERT_TRUE(WaitFor([&] { return program.Boxes() == 1; }, 5000)) << "no box counting the files";
  EXPECT_EQ(program.Quit(), 0) << "SIGTERM did not end the program under the files' box";
  const QStringList files = program.Files();
  ASSERT_GE(files.size(), 2);
  double total = 0;
  for (const QString& name : files) {
    const Recording r = Decode(program.out() + "/" + name, false);
    EXPECT_EQ(r.probe.decodeErrors, 0) << name.toStdString();
    total += r.probe.duration;
    // A picture of noise is some 90 KB: a file may end a few of them late.
    EXPECT_LT(QFileInfo(program.out() + "/" + name).size(), 1.3 * 1024 * 1024)
        << name.toStdString() << " is far over its size";
  }
  // What ran, by the program's log, without the two paused seconds.
  const double ran = program.LogTime("pause recording") - program.LogTime("Start to record") +
                     program.LogTime("Stop recording") - program.LogTime("Resume recording");
  // Each file's sound may end up to a few blocks after its last picture.
  EXPECT_NEAR(total, ran, 0.2 + 0.06 * files.size());
}

// The row menu of the list's first row, by keys: 播放 (1), 重命名 (2),
// 打开文件位置 (3), 删除 (4).
void UseRowMenu(const Program& program, int action) {
  Click(program.AtPage(5 + 189 + 110 + 90 + 170 + 20, 30 + 25));
  Sleep(500);
  for (int i = 0; i < action; ++i) Key("Down");
  Key("Return");
  Sleep(300);
}

// The OK button of a box that also has Cancel.
QPoint BoxOk(const Program& program) {
  for (const auto& w : program.Windows())
    if (w.title == "Dialog") {
      const int width = qRound(w.rect.Width() / Scale());
      return QPoint(w.rect.left, w.rect.top) + Scaled(QPoint((width - 93) / 5 + 46, 160));
    }
  return QPoint();
}

// Guards: a rename that drops ".mp4" (the list no longer shows the file
// after a restart) or takes a name that is there, a list that loses the
// file, and 播放 and 打开文件位置 that fail silently without a handler.
TEST_F(ControlDesktop, RenameAfterStopAndTheListAfterARestart) {
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=0\nrecordaudio=3\n");
  QFile taken(program.out() + "/taken.mp4");
  ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
  taken.close();
  ASSERT_TRUE(program.Start());
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  Sleep(1500);
  program.ClickStop();
  ASSERT_TRUE(program.WaitStopped());
  // The list opens with the new file's name ready to type over (typed before,
  // the text would rename the row that was current).
  ASSERT_TRUE(program.WaitLog("name editor open on 2"));
  Type("clip");
  Key("Return");
  ASSERT_TRUE(WaitFor([&] { return program.AllFiles() == QStringList({"clip.mp4", "taken.mp4"}); }, 5000))
      << "files: " << program.AllFiles().join(' ').toStdString();

  ASSERT_EQ(program.Quit(), 0);
  // A desktop without a program to open files or folders.
  program.SetEnv("PATH", program.home() + "/no-programs");
  ASSERT_TRUE(program.Start());
  program.ShowList();
  Sleep(500);
  UseRowMenu(program, 2);
  Type("taken");
  Key("Return");
  ASSERT_TRUE(WaitFor([&] { return program.Boxes() == 1; }, 5000)) << "a taken name not refused";
  Key("Return");
  EXPECT_EQ(program.AllFiles(), QStringList({"clip.mp4", "taken.mp4"}));
  UseRowMenu(program, 2);
  Type("again");
  Key("Return");
  EXPECT_TRUE(WaitFor([&] { return program.AllFiles() == QStringList({"again.mp4", "taken.mp4"}); }, 5000))
      << "files: " << program.AllFiles().join(' ').toStdString();
  for (int action : {1, 3}) {
    UseRowMenu(program, action);
    EXPECT_TRUE(WaitFor([&] { return program.Boxes() == 1; }, 5000)) << "action " << action << " failed silently";
    Key("Return");
    ASSERT_TRUE(WaitFor([&] { return program.Boxes() == 0; }, 5000));
  }
}

// Guards: a window hidden for the recording with no tray icon to bring it
// back, and 退出 from the tray leaving the recording unfinished.
TEST_F(ControlDesktop, HiddenToTheTrayWhileRecordingAndBack) {
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=false\nhideWhenRecord=true\n"
      "[record]\nrecordtype=0\nrecordaudio=3\n");
  ASSERT_TRUE(program.Start());
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  ASSERT_TRUE(WaitFor([&] { return !program.MainShown(); }, 5000)) << "not hidden";
  // The tray icon: a window of the program that the tray host holds.
  QRect icon;
  ASSERT_TRUE(WaitFor([&] {
    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--pid", QString::number(program.Pid())});
    search.waitForFinished(5000);
    for (const QByteArray& id : search.readAllStandardOutput().split('\n')) {
      if (id.isEmpty()) continue;
      const QRect area = ClientArea(id.toULong());
      if (area.width() > 0 && area.width() <= 48 && area.bottom() >= 1080 - 30) icon = area;
    }
    return !icon.isNull();
  }, 5000)) << "no tray icon while hidden";
  Click(icon.center());
  ASSERT_TRUE(WaitFor([&] { return program.MainShown(); }, 5000)) << "the tray icon did not bring it back";
  Sleep(1000);
  // 退出 from the tray icon's menu while recording: the file is finished as at a stop.
  Click(icon.center(), 3);
  Sleep(500);
  Key("Down");
  Key("Down");
  Key("Return");
  ASSERT_TRUE(WaitFor([&] { return !program.Running(); }, 10000)) << "退出 did not end the program";
  ASSERT_EQ(program.Files().size(), 1);
  EXPECT_GT(Decode(program.out() + "/" + program.Files().front(), false).probe.duration, 1.0);
}

// The scheduled task as the settings dialog stores it.
QString Task(qint64 start, int seconds, int action) {
  return QString("enable_record_schedule=true\nrecord_task=\"{\\\"start\\\": %1, \\\"end\\\": 0, "
                 "\\\"dur\\\": %2, \\\"op\\\": %3}\"\n")
      .arg(start)
      .arg(seconds)
      .arg(action);
}

// Guards: a program started hidden in the tray that records neither on its
// start/pause hot key nor on its schedule.
TEST_F(ControlDesktop, StartedInTheTrayRecordsOnItsHotKeyAndOnItsSchedule) {
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=0\nrecordaudio=3\n" +
                    Task(QDateTime::currentSecsSinceEpoch() + 5, 2, 0));
  ASSERT_TRUE(program.Start({"/background"}));
  ASSERT_TRUE(program.WaitRecording(1, 15000)) << "the schedule did not record";
  ASSERT_TRUE(program.WaitStopped(1, 15000));
  Key("alt+9");
  ASSERT_TRUE(program.WaitRecording(2)) << "the hot key did not record";
  Sleep(1500);
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped(2));
  ASSERT_EQ(program.Files().size(), 2);
  // The schedule's stop finishes its file as the hot key's does.
  EXPECT_GT(Decode(program.out() + "/" + program.Files().front(), false).probe.duration, 1.5);
}

// Guards: a log-out while recording that leaves a file other programs misread,
// and a killed program that leaves nothing that plays.
TEST_F(ControlDesktop, ALogOutFinishesTheFileAndAKillLeavesItPlayable) {
  NoiseWindow window;
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=0\nrecordaudio=0\n");
  ASSERT_TRUE(program.Start());
  Key("alt+9");
  ASSERT_TRUE(program.WaitRecording());
  Sleep(2000);
  EXPECT_EQ(program.Quit(), 0);
  ASSERT_EQ(program.Files().size(), 1);
  EXPECT_GT(Decode(program.out() + "/" + program.Files().front(), false).probe.duration, 1.2);

  ASSERT_TRUE(program.Start());
  Key("alt+9");
  ASSERT_TRUE(program.WaitRecording());
  Sleep(3500);
  const double killed = QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
  ::kill(static_cast<pid_t>(program.Pid()), SIGKILL);
  ASSERT_TRUE(WaitFor([&] { return !program.Running(); }, 5000));
  const double ran = killed - program.LogTime("Start to record");
  ASSERT_EQ(program.Files().size(), 2);
  const testsupport::MediaProbe probe = testsupport::ProbeMedia(
      (program.out() + "/" + program.Files().back()).toStdString());
  ASSERT_TRUE(probe.opened) << "the killed recording does not open";
  EXPECT_EQ(probe.decodeErrors, 0);
  ASSERT_NE(probe.Video(), nullptr);
  // Lost: the fragment being gathered (a second) and what the encoder holds.
  EXPECT_GT(probe.duration, ran - 1.8) << "plays to within about a second of the kill";
}

// Guards: the hot-key conflict box coming up over the recording (modal, in
// the file until dismissed) instead of when the program starts.
TEST_F(ControlDesktop, HotKeyConflictIsToldAtStartNeverOverARecording) {
  const std::unique_ptr<platform::HotKeys> other = platform::NewHotKeysClient();
  ASSERT_TRUE(other && other->Register('S', platform::kHotKeyShift) == platform::Result::Ok);
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=0\nrecordaudio=3\n");
  ASSERT_TRUE(program.Start());
  ASSERT_TRUE(WaitFor([&] { return program.Boxes() == 1; }, 5000)) << "not told at start";
  Key("Return");
  ASSERT_TRUE(WaitFor([&] { return program.Boxes() == 0; }, 5000));
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  Sleep(2000);
  EXPECT_EQ(program.Boxes(), 0) << "a box over the recording";
  program.ClickStop();
  ASSERT_TRUE(program.WaitStopped());
  Sleep(1000);
  EXPECT_EQ(program.Boxes(), 0) << "told twice";
}

// Guards: a task whose start passed while the program was closed that cut
// the user's own recording at its end and ran its end action (退出).
TEST_F(ControlDesktop, AMissedTaskIsSwitchedOffAndLeavesTheUsersRecording) {
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=0\nrecordaudio=3\n" +
                    Task(QDateTime::currentSecsSinceEpoch() - 12, 3, 1));
  ASSERT_TRUE(program.Start());
  ASSERT_TRUE(WaitFor([&] { return program.Boxes() == 1; }, 5000)) << "the missed task is not told";
  Key("Return");
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  Sleep(6000);
  ASSERT_TRUE(program.Running()) << "the task's end action ended the program";
  program.ClickStop();
  ASSERT_TRUE(program.WaitStopped());
  EXPECT_EQ(program.LogCount("Stop recording"), 1);
  ASSERT_EQ(program.Files().size(), 1);
  EXPECT_GT(Decode(program.out() + "/" + program.Files().front(), false).probe.duration, 5.0);
  EXPECT_EQ(program.Boxes(), 0) << "told twice";
  ASSERT_EQ(program.Quit(), 0);
  QFile conf(program.home() + "/.config/Korvo/screenrecorder.conf");
  ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
  EXPECT_TRUE(conf.readAll().contains("enable_record_schedule=false"));
}

// Guards: a shutdown called off that left the file out of the list, and rows
// that looked for their file in a save folder changed during the recording
// (rename and 删除 missed it).
TEST_F(ControlDesktop, AShutdownCalledOffListsTheFileWhereItWasRecorded) {
  // The login manager, as far as the program hears from it.
  const QString bus = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
  ASSERT_FALSE(bus.isEmpty()) << "needs a session bus";
  QDBusConnection logind = QDBusConnection::connectToBus(bus, "logind");
  ASSERT_TRUE(logind.registerService("org.freedesktop.login1"));
  Program program;
  program.SetEnv("KORVOREC_LOGIND_BUS", bus);
  const QString ini = "[%General]\nrecord_status_bar=false\n[record]\nrecordtype=0\nrecordaudio=3\n";
  program.Configure(ini);
  const QString folder = program.out();
  ASSERT_TRUE(program.Start());
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  program.SetOut(folder + "2");
  program.Configure(ini);  // another save folder, chosen meanwhile
  Sleep(1500);
  QDBusMessage ending = QDBusMessage::createSignal(
      "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForShutdown");
  ending << true;
  ASSERT_TRUE(logind.send(ending));
  ASSERT_TRUE(program.WaitStopped());
  QDBusMessage calledOff = QDBusMessage::createSignal(
      "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForShutdown");
  calledOff << false;
  ASSERT_TRUE(logind.send(calledOff));
  ASSERT_TRUE(program.WaitLog("name editor open on 2"));
  Sleep(500);
  ASSERT_TRUE(program.Running());
  // As after a stop: the new file's name ready to type over.
  Type("kept");
  Key("Return");
  EXPECT_TRUE(WaitFor([&] { return QFile::exists(folder + "/kept.mp4"); }, 5000))
      << "files: " << QDir(folder).entryList(QDir::Files).join(' ').toStdString();
  EXPECT_GT(Decode(folder + "/kept.mp4", false).probe.duration, 1.2);  // finished as at a stop
  UseRowMenu(program, 4);
  ASSERT_TRUE(WaitFor([&] { return program.Boxes() == 1; }, 5000)) << "no confirmation";
  Click(BoxOk(program));
  EXPECT_TRUE(WaitFor([&] { return QDir(folder).entryList(QDir::Files).isEmpty(); }, 5000))
      << "files: " << QDir(folder).entryList(QDir::Files).join(' ').toStdString();
  QDBusConnection::disconnectFromBus("logind");
}

// Guards: the apology after a crash going only to stderr, and SIGTERM
// swallowed while a box is open (a log-out waited for the user).
TEST_F(ControlDesktop, ACrashIsToldAtTheNextStartAndSigtermEndsAnOpenBox) {
  Program program;
  ASSERT_TRUE(program.Start());
  ASSERT_EQ(::kill(static_cast<pid_t>(program.Pid()), SIGSEGV), 0);
  ASSERT_TRUE(WaitFor([&] { return !program.Running(); }, 10000));
  ASSERT_TRUE(program.Start());
  ASSERT_TRUE(WaitFor([&] { return program.Boxes() == 1; }, 5000)) << "no apology";
  Key("Return");
  ASSERT_EQ(program.Quit(), 0);
  // A save folder that cannot be made: the start key opens a box.
  program.SetOut("/proc/korvorec");
  program.Configure(QString());
  ASSERT_TRUE(program.Start());
  EXPECT_EQ(program.Boxes(), 0) << "told twice";
  Key("alt+9");
  ASSERT_TRUE(WaitFor([&] { return program.Boxes() == 1; }, 5000));
  EXPECT_EQ(program.Quit(), 0) << "SIGTERM did not end the program under its box";
}

// Guards: at 200 % on a 1080-line screen, a main window whose title bar lay
// above the screen and whose buttons below it.
TEST_F(ControlDesktop, TheMainWindowFitsTheScreenAtTwiceTheScale) {
  Program program;
  program.SetEnv("QT_SCALE_FACTOR", "2");
  ASSERT_TRUE(program.Start());
  const platform::Rect r = platform::Windows().WindowBounds(program.MainWindow());
  // The screen less the tray host's panel at its bottom.
  EXPECT_GE(r.left, 0);
  EXPECT_GE(r.top, 0);
  EXPECT_LE(r.right, 1920);
  EXPECT_LE(r.bottom, 1080 - 24);
}

// Guards: options this desktop cannot serve that could be ticked and logged
// "Unsupported" at every start.
TEST_F(ControlDesktop, OptionsThisDesktopCannotServeAreGreyedAndQuiet) {
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=0\nrecordaudio=3\n");
  ASSERT_TRUE(program.Start());
  Click(program.AtMain(755 - 3 * 40 - 30, 30));  // 设置
  platform::TopLevelWindow dialog;
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& w : program.Windows())
      if (std::abs(w.rect.Width() - Scaled(QPoint(656, 0)).x()) < 4) dialog = w;
    return dialog.id != 0;
  })) << "no settings";
  Sleep(500);
  const QPoint origin(dialog.rect.left, dialog.rect.top);
  // 在屏幕录制中，不采集Korvo录屏窗口, 隐藏桌面图标, 隐藏任务栏 on the general page.
  for (int y : {110, 150, 190}) Click(origin + Scaled(QPoint(130 + 20 + 9, 50 + y + 12)));
  Click(origin + Scaled(QPoint(656 - 20, 25)));  // its close button saves
  ASSERT_TRUE(WaitFor([&] { return program.Windows().size() == 1; }, 5000));
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  Sleep(1000);
  program.ClickStop();
  ASSERT_TRUE(program.WaitStopped());
  for (const char* line : {"hide cap window failed", "taskbar", "desktop icons"})
    EXPECT_EQ(program.LogCount(line), 0) << line;
  ASSERT_EQ(program.Quit(), 0);
  QFile conf(program.home() + "/.config/Korvo/screenrecorder.conf");
  ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
  const QByteArray text = conf.readAll();
  for (const char* key : {"nocapWndWhenRecord=true", "hide_desktop_icon=true", "hide_taskbar=true"})
    EXPECT_FALSE(text.contains(key)) << key;
}

// The test microphone taken away and put back as the test services made it.
struct MicrophoneUnplugged {
  MicrophoneUnplugged() {
    QProcess::execute("sh", {"-c", "pactl unload-module $(pactl list short modules | "
                                   "awk '/module-remap-source/ && /source_name=mic_in /{print $1}')"});
  }
  // Back in the services' order (mic_in, then mic_in2): sound tests read the list in order.
  ~MicrophoneUnplugged() {
    QProcess::execute("sh", {"-c", "pactl unload-module $(pactl list short modules | "
                                   "awk '/module-remap-source/ && /source_name=mic_in2 /{print $1}'); "
                                   "pactl load-module module-remap-source source_name=mic_in master=mic.monitor "
                                   ">/dev/null && pactl load-module module-remap-source source_name=mic_in2 "
                                   "master=mic.monitor >/dev/null && pactl set-default-source mic_in"});
  }
};

// Guards: a microphone lost in the middle of a recording without a word, or
// told in a box over the recording.
TEST_F(ControlDesktop, ALostMicrophoneIsToldAfterTheStop) {
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=0\nrecordaudio=2\n");
  ASSERT_TRUE(program.Start());
  Key("alt+9");
  ASSERT_TRUE(program.WaitRecording());
  Sleep(1500);
  {
    MicrophoneUnplugged unplugged;
    Sleep(2500);
    EXPECT_EQ(program.Boxes(), 0) << "a box over the recording";
    Key("shift+s");
    ASSERT_TRUE(program.WaitStopped());
  }
  EXPECT_TRUE(WaitFor([&] { return program.Boxes() == 1; }, 5000)) << "the loss was not told";
  ASSERT_EQ(program.Files().size(), 1);
  // The recording went on after the loss, some 1.5 s in.
  EXPECT_GT(Decode(program.out() + "/" + program.Files().front(), false).probe.duration, 3.0);
}

}  // namespace
