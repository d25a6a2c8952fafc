// The pickers and the settings dialog as a user meets them on a desktop with
// a window manager, a compositor and a tray, through the real program.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>

#include "platform/hotkeys.h"
#include "support/desktop.h"
#include "support/testsupport.h"

namespace {

using namespace desktop;

constexpr QRgb kLeft = qRgb(200, 60, 40);
constexpr QRgb kRight = qRgb(40, 160, 90);

class DialogsDesktop : public DesktopTest {};

// The monitor picker (a 671 x 449 form): its second thumbnail, then OK.
void PickSecondMonitor(const Program& program, const std::function<void()>& meanwhile = {}) {
  const platform::TopLevelWindow picker = program.WaitWindow(QSize(671, 449));
  ASSERT_NE(picker.id, 0u) << "no monitor picker";
  Sleep(500);
  if (meanwhile) meanwhile();
  const QPoint origin(picker.rect.left, picker.rect.top);
  Click(origin + Scaled(QPoint(10 + 160 + 20 + 80, 50 + 10 + 60)));
  Sleep(300);
  Click(origin + Scaled(QPoint(671 - 10 - 120 - 60, 449 - 30)));
}

// Guards: a monitor plugged in or out while the monitor picker is open made
// the program record another monitor than the one picked (handles were list
// places); and a click halo drawn at twice the diameter shown.
TEST_F(DialogsDesktop, PickedMonitorIsRecordedAfterAHotPlug) {
  TwoMonitors monitors;
  ASSERT_TRUE(monitors.ok());
  Backdrop backdrop(kLeft, kRight);
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=false\nhideWhenRecord=true\nrecordmouse=true\n"
      "[record]\nrecordtype=0\nrecordaudio=3\nvideoframerate=25\n"
      "[keymouse]\nhighlight=true\nhalo_diameter=25\nmouse_color=#ffff00\n");
  ASSERT_TRUE(program.Start());
  Key("alt+9");
  ASSERT_NO_FATAL_FAILURE(PickSecondMonitor(program, [&] { ASSERT_TRUE(monitors.ReplugLeft()); }));
  ASSERT_TRUE(program.WaitRecording());
  PointerTo(QPoint(960 + 480, 540));
  Sleep(2000);
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  ASSERT_EQ(program.Files().size(), 1);
  const Recording r = Decode(program.out() + "/" + program.Files().front());
  ASSERT_NE(r.probe.Video(), nullptr);
  EXPECT_EQ(r.probe.Video()->width, 960);
  ASSERT_FALSE(r.pictures.empty());
  const QImage last = r.pictures.back();
  // Right of where the main window may lie.
  EXPECT_LT(PixelsUnlike(last.copy(400, 0, 560, 1080), kRight, 24, {QRect(30, 490, 100, 100)}), 100)
      << "not the right monitor";

  // The ring's two crossings of the pointer's row, 25 apart.
  std::vector<int> ring;
  for (int x = 430; x < 530; ++x) {
    const QRgb p = last.pixel(x, 540);
    if (qRed(p) > 200 && qGreen(p) > 200 && qBlue(p) < 100) ring.push_back(x);
  }
  ASSERT_FALSE(ring.empty()) << "no halo";
  const auto gap = std::adjacent_find(ring.begin(), ring.end(), [](int a, int b) { return b - a > 1; });
  ASSERT_NE(gap, ring.end()) << "one crossing only";
  const double left = (ring.front() + *gap) / 2.0, right = (*(gap + 1) + ring.back()) / 2.0;
  EXPECT_NEAR(right - left, 25, 1.5);
}

// Guards: a region picked after choosing a monitor lay on another monitor
// and was recorded black.
TEST_F(DialogsDesktop, RegionIsRecordedFromTheMonitorItWasPickedOn) {
  TwoMonitors monitors;
  ASSERT_TRUE(monitors.ok());
  Backdrop backdrop(kLeft, kRight);
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=false\nhideWhenRecord=true\nrecordmouse=false\n"
      "[record]\nrecordtype=1\nrecordaudio=3\nvideoframerate=25\n"
      "region_rect=@Rect(100 100 400 320)\n");
  ASSERT_TRUE(program.Start());
  Key("alt+9");
  ASSERT_NO_FATAL_FAILURE(PickSecondMonitor(program));
  Sleep(1500);
  // The region picker's OK, below the selection's right end, on RIGHT.
  Click(QPoint(960, 0) + Scaled(QPoint(100 + 400 - 220 + 165, 100 + 320 + 25)));
  ASSERT_TRUE(program.WaitRecording());
  Sleep(1500);
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  ASSERT_EQ(program.Files().size(), 1);
  const Recording r = Decode(program.out() + "/" + program.Files().front());
  ASSERT_FALSE(r.pictures.empty());
  EXPECT_NEAR(r.pictures.back().width(), Scaled(QPoint(400, 0)).x(), 2);
  EXPECT_EQ(PixelsUnlike(r.pictures.back(), kRight, 24), 0) << "not the region picked";
}

// Points of the settings dialog (a 656 x 452 form): a row of its page list,
// a point of the page shown, its close button.
QPoint SettingsRow(QPoint dialog, int row) { return dialog + Scaled(QPoint(65, 50 + 40 * row + 20)); }
QPoint SettingsPage(QPoint dialog, int x, int y) { return dialog + Scaled(QPoint(130 + x, 50 + y)); }
QPoint SettingsClose(QPoint dialog) { return dialog + Scaled(QPoint(656 - 20, 25)); }

bool SettingsShown(const Program& program) {
  for (const auto& w : program.Windows())
    if (std::abs(w.rect.Width() - Scaled(QPoint(656, 0)).x()) < 4) return true;
  return false;
}

// Guards: the folder chooser stored the folder around the chosen one.
TEST_F(DialogsDesktop, FolderChooserStoresTheChosenFolder) {
  Program program;
  const QString chosen = program.home() + "/Videos2";
  ASSERT_TRUE(QDir().mkpath(chosen));
  ASSERT_TRUE(program.Start());
  const QPoint dialog = program.OpenSettings();
  ASSERT_FALSE(dialog.isNull()) << "no settings dialog";
  Click(SettingsRow(dialog, 1));
  Click(SettingsPage(dialog, 360 + 30, 110 + 14));  // 更改
  Sleep(1500);
  Type(chosen);
  Key("Return");
  Sleep(800);
  Click(SettingsClose(dialog));
  ASSERT_TRUE(WaitFor([&] { return !SettingsShown(program); })) << "the dialog stays open";
  QFile conf(program.home() + "/.config/Korvo/screenrecorder.conf");
  ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
  EXPECT_TRUE(QString::fromUtf8(conf.readAll()).contains("filesaveurl=" + chosen + "\n"));
}

// Guards: a hot-key row set back to its own key (which the program holds)
// was marked "热键无效".
TEST_F(DialogsDesktop, HotKeyRowBackToItsOwnKeyIsNoConflict) {
  // Another program holds Alt+8.
  const std::unique_ptr<platform::HotKeys> other = platform::NewHotKeysClient();
  ASSERT_TRUE(other);
  ASSERT_EQ(other->Register('8', platform::kHotKeyAlt), platform::Result::Ok);
  Program program;
  ASSERT_TRUE(program.Start());
  const QPoint dialog = program.OpenSettings();
  ASSERT_FALSE(dialog.isNull()) << "no settings dialog";
  Click(SettingsRow(dialog, 8));
  // The start/pause row's key box ("9"), one item up and back.
  const QPoint keyBox = SettingsPage(dialog, 300 + 65, 40 + 13);
  const QRect mark(SettingsPage(dialog, 440, 40), SettingsPage(dialog, 440 + 71, 40 + 26));
  const auto marked = [&] {  // red text there
    const QImage shot = Screenshot().copy(mark);
    int red = 0;
    for (int y = 0; y < shot.height(); ++y)
      for (int x = 0; x < shot.width(); ++x) {
        const QRgb p = shot.pixel(x, y);
        red += qRed(p) > 150 && qGreen(p) < 120 && qBlue(p) < 120;
      }
    return red > 10;
  };
  Click(keyBox);
  Sleep(300);
  Key("Up");
  Key("Return");
  Sleep(500);
  ASSERT_TRUE(marked()) << "Alt+8 is taken: its row is marked";
  Click(keyBox);
  Sleep(300);
  Key("Down");
  Key("Return");
  Sleep(500);
  EXPECT_FALSE(marked()) << "Alt+9 is the row's own key";
  Click(SettingsClose(dialog));
  other->Unregister('8', platform::kHotKeyAlt);
}

// Guards: a recording that ended while the settings dialog was open, and a
// scheduled task that the program switched off meanwhile, made its close
// button refuse for good ("计划录制开始时间不能小于等于当前时间!").
TEST_F(DialogsDesktop, SettingsCloseAfterTheScheduledRecordingEnded) {
  Program program;
  const qint64 start = QDateTime::currentSecsSinceEpoch() + 5;
  program.Configure(
      QString("[%General]\nrecord_status_bar=false\n"
              "[record]\nrecordtype=0\nrecordaudio=3\nenable_record_schedule=true\n"
              "record_task=\"{\\\"dur\\\": 60, \\\"end\\\": 0, \\\"op\\\": 0, "
              "\\\"start\\\": %1}\"\n")
          .arg(start));
  ASSERT_TRUE(program.Start());
  ASSERT_TRUE(program.WaitRecording(1, 20000)) << "the scheduled recording did not start";
  const QPoint dialog = program.OpenSettings();
  ASSERT_FALSE(dialog.isNull()) << "no settings dialog";
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  Sleep(500);
  Click(SettingsClose(dialog));
  EXPECT_TRUE(WaitFor([&] { return !SettingsShown(program); }, 5000)) << "the close was refused";
}

bool NumLockOn() {
  QProcess xset;
  xset.start("xset", {"q"});
  xset.waitForFinished(5000);
  return QString::fromUtf8(xset.readAllStandardOutput()).simplified().contains("Num Lock: on");
}

void Xdotool(const QStringList& args) { QProcess::execute("xdotool", args); }

// Guards: the key display stayed on screen for good when Num Lock changed
// while a keypad key was held (its release came as another key).
TEST_F(DialogsDesktop, KeypadKeyReleasedAfterNumLockHidesTheKeyDisplay) {
  Program program;
  program.Configure("[keymouse]\nshowkeystroke=true\nshowcombinekey=true\nshowcommonkey=true\n");
  ASSERT_TRUE(program.Start());
  const platform::WindowId main = program.MainWindow();
  const auto overlay = [&] {
    for (const auto& w : program.Windows())
      if (w.id != main && std::abs(w.rect.bottom - 1080) <= 2) return true;
    return false;
  };
  const bool numLock = NumLockOn();
  if (!numLock) Xdotool({"key", "Num_Lock"});
  // The key hook comes after the main window: press until it shows.
  bool shown = false;
  for (int i = 0; i < 10 && !shown; ++i) {
    Xdotool({"keydown", "KP_End"});  // NUM_1 with Num Lock on
    shown = WaitFor(overlay, 1000);
    if (!shown) Xdotool({"keyup", "KP_End"});
  }
  ASSERT_TRUE(shown) << "no key display";
  Xdotool({"key", "Num_Lock"});
  Xdotool({"keyup", "KP_End"});  // End with Num Lock off
  EXPECT_TRUE(WaitFor([&] { return !overlay(); }, 6000)) << "the key display stays";
  if (NumLockOn() != numLock) Xdotool({"key", "Num_Lock"});
}

}  // namespace
