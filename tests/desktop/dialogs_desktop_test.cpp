// The pickers and the settings dialog as a user meets them on a desktop with
// a window manager, a compositor and a tray, through the real program.
#include <gtest/gtest.h>

#include <QApplication>

#include <algorithm>

#include "support/desktop.h"
#include "support/testsupport.h"

namespace {

using namespace desktop;

constexpr QRgb kLeft = qRgb(200, 60, 40);
constexpr QRgb kRight = qRgb(40, 160, 90);

QApplication& App() {
  static int argc = 1;
  static char name[] = "dialogs_desktop_test";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

class DialogsDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay() || !testsupport::HavePulse())
      GTEST_SKIP() << "needs the test desktop and sound server";
    App();
    platform::Backend::Use(platform::BackendKind::X11);
  }
};

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
  EXPECT_LT(PixelsUnlike(last, kRight, 24, {QRect(430, 490, 100, 100)}), 100)
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

}  // namespace
