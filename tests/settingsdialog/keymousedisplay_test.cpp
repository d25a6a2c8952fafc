// The keystroke overlay driven through the scripted keyboard and monitors;
// the window itself is real, on the test display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QMetaObject>
#include <QTextDocument>

#include <cstdlib>

#include "../mainwindow/guitestenv.h"
#include "platform/fake/fake_keyboard_events.h"
#include "platform/fake/fake_monitors.h"
#include "settings.h"
#include "settingsdialog/keymousedisplay.h"
#include "support/testsupport.h"
#include "utils.h"
#include "utils_ui.h"

namespace {

const QString kSeparator = "<font color=gray size=10px> + </font>";

class KeyMouseDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    platform::Backend::Use(platform::BackendKind::Fake);
    guitest::App();
    keyboard().Reset();
    platform::fake::FakeMonitors::Instance().Reset();
    display()->SetScreen("screen0");
    display()->SetKeyFont(QFont("DejaVu Sans", 20));
  }

  void TearDown() override {
    if (!testsupport::HaveDisplay()) return;
    // Leave the single overlay released, hidden and without hook.
    for (int code : QList<int>(display()->HeldKeys())) display()->OnKeyEvent(1, code);
    for (int i = 0; i < 3 && display()->isVisible(); ++i) Tick();
    display()->UninstallHook();
    keyboard().Reset();
  }

  static KeyMouseDisplay* display() { return KeyMouseDisplay::Instance(); }
  static platform::fake::FakeKeyboardEvents& keyboard() {
    return platform::fake::FakeKeyboardEvents::Instance();
  }
  // One tick of the hide timer, whenever the test wants it.
  static void Tick() { QMetaObject::invokeMethod(display(), "onTimer"); }

  // Keys through the hook, delivered as the event loop would.
  static void Down(int code) {
    keyboard().Press(code);
    QCoreApplication::sendPostedEvents(display(), MouseKeyEvent::kType);
  }
  static void Up(int code) {
    keyboard().Release(code);
    QCoreApplication::sendPostedEvents(display(), MouseKeyEvent::kType);
  }

  static void Hook(int flags) {
    display()->SetDisplayFlags(flags);
    ASSERT_TRUE(display()->InstallHook());
  }

};

TEST_F(KeyMouseDisplayTest, ExactlyTheNamedKeysAreShownUnderTheirNames) {
  Hook(0x11);
  for (int code = 0; code < 256; ++code) Down(code);
  EXPECT_EQ(display()->HeldKeys().size(), 129);
  for (int code : display()->HeldKeys()) EXPECT_NE(code, 0x07);
  for (int code = 0; code < 256; ++code) Up(code);
  EXPECT_TRUE(display()->HeldKeys().isEmpty());

  const std::pair<int, QString> names[] = {
      {0x30, "0"},          {0x5A, "Z"},          {0x60, "NUM_0"},     {0x69, "NUM_9"},
      {0x70, "F1"},         {0x87, "F24"},        {0x01, "鼠标左键"},  {0x5B, "左Windows"},
      {0x5D, "应用程序键"}, {0x6C, "分割键"},     {0xA5, "右Alt"},     {0xC0, "`"},
      {0xDC, "\\"},         {0xDE, "'"},          {0x2C, "Print Screen"}};
  for (const auto& name : names) {
    Down(name.first);
    EXPECT_EQ(display()->text(), name.second) << std::hex << name.first;
    Up(name.first);
  }
}

TEST_F(KeyMouseDisplayTest, CommonKeysOnlyDropModifiers) {
  Hook(0x10);
  Down(0x10);
  Down(0xA0);
  EXPECT_FALSE(display()->isVisible());
  EXPECT_TRUE(display()->HeldKeys().isEmpty());
  Down(0x41);
  EXPECT_TRUE(display()->isVisible());
  EXPECT_EQ(display()->text(), "A");
}

TEST_F(KeyMouseDisplayTest, CombinationsOnlyNeedAModifierFirst) {
  Hook(0x01);
  Down(0x41);
  EXPECT_FALSE(display()->isVisible());
  Up(0x41);
  Down(0xA2);
  EXPECT_EQ(display()->text(), "左Ctrl");
  Down(0x41);
  EXPECT_EQ(display()->text(), "左Ctrl" + kSeparator + "A");
  EXPECT_EQ(display()->HeldKeys(), (QList<int>{0xA2, 0x41}));
}

TEST_F(KeyMouseDisplayTest, BothFlagsShowEveryKeyAndJoinHeldOnes) {
  Hook(0x11);
  Down(0x11);
  EXPECT_EQ(display()->text(), "Ctrl");
  Down(0x41);
  EXPECT_EQ(display()->text(), "Ctrl" + kSeparator + "A");
}

TEST_F(KeyMouseDisplayTest, ShortTextIsCentredInTheMinimumWidthAndLongTextWidens) {
  Hook(0x11);
  Down(0x41);
  EXPECT_EQ(display()->width(), 260);
  EXPECT_EQ(display()->height(), QFontMetrics(display()->font()).height() * 3 / 2);
  EXPECT_EQ(display()->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);

  for (int code : {0xA2, 0xA0, 0xA4, 0x5B, 0x70, 0x71, 0x72}) Down(code);
  QString plain = "A";
  for (const char* name : {"左Ctrl", "左Shift", "左Alt", "左Windows", "F1", "F2"})
    plain += " + " + QString::fromUtf8(name);
  plain += " + F3";
  const int advance = QFontMetrics(display()->font()).horizontalAdvance(plain);
  ASSERT_GT(advance, 260);
  EXPECT_EQ(display()->width(), advance);
  EXPECT_EQ(display()->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
}

TEST_F(KeyMouseDisplayTest, SitsAtTheBottomMiddleOfTheChosenMonitor) {
  auto& monitors = platform::fake::FakeMonitors::Instance();
  monitors.SetMonitors({{1, {0, 0, 1920, 1080}, "screen0", true},
                        {2, {960, 100, 1920, 640}, "half", false}});
  Hook(0x10);
  display()->SetScreen("half");
  EXPECT_EQ(display()->MonitorRect(), (platform::Rect{960, 100, 1920, 640}));
  EXPECT_EQ(display()->Scale(), 1.0);
  Down(0x41);
  // A window manager confirms the place a moment later.
  const auto centredOn = [](int left, int width, int bottom) {
    return QTest::qWaitFor(
        [&] {
          return display()->pos() == QPoint(left + (width - display()->width()) / 2,
                                            bottom - display()->height());
        },
        3000);
  };
  EXPECT_TRUE(centredOn(960, 960, 640)) << display()->x() << "," << display()->y();

  // Names are matched exactly; an unknown one keeps the last monitor.
  display()->SetScreen("HALF");
  EXPECT_EQ(display()->MonitorRect(), (platform::Rect{960, 100, 1920, 640}));
  display()->SetScreen("screen0");
  Down(0x42);
  EXPECT_TRUE(centredOn(0, 1920, 1080)) << display()->x() << "," << display()->y();
  guitest::SaveScreenshot(display(), "keymousedisplay_a_b");
}

TEST_F(KeyMouseDisplayTest, ReleasedKeysHideOnTheSecondTickUnlessAKeyGoesDown) {
  Hook(0x10);
  Down(0x41);
  Up(0x41);
  Tick();
  EXPECT_TRUE(display()->isVisible());
  Down(0x42);  // back to the start of the countdown
  Tick();
  Tick();
  EXPECT_TRUE(display()->isVisible());
  EXPECT_EQ(display()->HeldKeys(), QList<int>{0x42});
  Up(0x42);
  Tick();
  EXPECT_TRUE(display()->isVisible());
  Tick();
  EXPECT_FALSE(display()->isVisible());
  Tick();
  EXPECT_FALSE(display()->isVisible());

  // A key outside the table released with nothing held starts the
  // countdown again.
  Down(0x41);
  Up(0x41);
  Tick();
  Up(0x07);
  Tick();
  EXPECT_TRUE(display()->isVisible());
  Tick();
  EXPECT_FALSE(display()->isVisible());

  // A held key keeps it up; once the hook is gone no release can come, so
  // the held keys are forgotten.
  Down(0x41);
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_TRUE(display()->isVisible());
  display()->UninstallHook();
  Tick();
  Tick();
  EXPECT_FALSE(display()->isVisible());
}

TEST_F(KeyMouseDisplayTest, HookFollowsTheFlagsAndCanBeRemoved) {
  display()->SetDisplayFlags(0);
  EXPECT_FALSE(display()->InstallHook());
  EXPECT_FALSE(keyboard().IsInstalled());
  EXPECT_FALSE(display()->UninstallHook());

  display()->SetDisplayFlags(0x10);
  EXPECT_TRUE(display()->InstallHook());
  EXPECT_TRUE(display()->InstallHook());  // replaces the first
  EXPECT_TRUE(keyboard().IsInstalled());
  EXPECT_TRUE(display()->UninstallHook());
  EXPECT_FALSE(display()->UninstallHook());
  EXPECT_FALSE(keyboard().Press(0x41));
  QCoreApplication::sendPostedEvents(display(), MouseKeyEvent::kType);
  EXPECT_FALSE(display()->isVisible());

  // An installed hook goes when the flags become 0.
  EXPECT_TRUE(display()->InstallHook());
  display()->SetDisplayFlags(0);
  EXPECT_FALSE(display()->InstallHook());
  EXPECT_FALSE(keyboard().IsInstalled());

  keyboard().FailInstall(true);
  display()->SetDisplayFlags(0x11);
  EXPECT_FALSE(display()->InstallHook());
  EXPECT_FALSE(keyboard().Press(0x41));
}

TEST_F(KeyMouseDisplayTest, SettingsArePushedInAndTheHookInstalled) {
  ASSERT_TRUE(Settings::Instance()->Init());
  auto& monitors = platform::fake::FakeMonitors::Instance();
  monitors.SetMonitors({{1, {0, 0, 1920, 1080}, "screen0", true},
                        {2, {1920, 0, 3840, 1080}, "right", false}});
  monitors.SetDpi("right", 144, 144);
  Settings* settings = Settings::Instance();
  settings->SetKeymouseShowcombinekey(false);
  settings->SetKeymouseShowcommonkey(true);
  settings->SetKeymouseColor(QColor(10, 20, 30));
  settings->SetKeymouseBackgroundcolor(QColor(200, 100, 50));
  settings->SetKeymouseFont(QFont("DejaVu Serif", 33));
  settings->SetKeymouseDisplayscreen("right");
  settings->SetKeymouseBackgroundopacity(70);

  ApplyKeyMouseSettings();
  EXPECT_EQ(display()->DisplayFlags(), 0x10);
  EXPECT_EQ(display()->TextColor(), QColor(10, 20, 30));
  EXPECT_EQ(display()->BackgroundColor(), QColor(200, 100, 50));
  EXPECT_EQ(display()->styleSheet(), "color:rgb(10,20,30);background:rgb(200,100,50)");
  EXPECT_EQ(display()->font().family(), "DejaVu Serif");
  EXPECT_EQ(display()->font().pointSize(), 33);
  EXPECT_EQ(display()->MonitorRect(), (platform::Rect{1920, 0, 3840, 1080}));
  EXPECT_EQ(display()->Scale(), 1.5);
  EXPECT_NEAR(display()->windowOpacity(), 0.7, 0.01);
  EXPECT_TRUE(keyboard().IsInstalled());

  settings->SetKeymouseShowcombinekey(false);
  settings->SetKeymouseShowcommonkey(false);
  ApplyKeyMouseSettings();
  EXPECT_FALSE(keyboard().IsInstalled());
}

}  // namespace
