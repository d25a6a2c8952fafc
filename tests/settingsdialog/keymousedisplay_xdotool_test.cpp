// Real key presses (XTest through xdotool) reach the keystroke overlay through
// the window system, on a display of its own that the test splits into two
// monitors.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <functional>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "../mainwindow/guitestenv.h"
#include "platform/keyboard_events.h"
#include "settings.h"
#include "settingsdialog/keymousedisplay.h"
#include "settingsdialog/settingsdialog.h"
#include "support/testsupport.h"
#include "utils.h"
#include "utils_ui.h"

namespace {

const QString kSeparator = "<font color=gray size=10px> + </font>";

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// Runs the event loop until the condition holds; false when it never does.
bool Eventually(const std::function<bool()>& condition) {
  return QTest::qWaitFor(condition, 5000);
}

void Type(const QString& keys, const QString& how = "key") {
  ASSERT_EQ(QProcess::execute("xdotool", {how, keys}), 0) << keys.toStdString();
}

// Every key code the overlay is handed.
class KeySpy : public QObject {
 public:
  explicit KeySpy(QObject* target) { target->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == MouseKeyEvent::kType) {
      auto* key = static_cast<MouseKeyEvent*>(e);
      (key->action == 0 ? downs : ups).push_back(key->code);
    }
    return false;
  }
  bool Saw(int code) const { return std::count(downs.begin(), downs.end(), code) > 0; }
  std::vector<int> downs;
  std::vector<int> ups;
};

class KeyMouseXdotoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs a display";
    if (!Shell("command -v xdotool >/dev/null")) GTEST_SKIP() << "needs xdotool";
    platform::Backend::Use(platform::BackendKind::X11);
    guitest::App();
    ASSERT_TRUE(settings()->Init());
    settings()->SetKeymouseShowkeystroke(true);
    settings()->SetKeymouseShowcombinekey(true);
    settings()->SetKeymouseShowcommonkey(true);
    settings()->SetKeymouseFont(QFont("DejaVu Sans", 24));
    settings()->SetKeymouseColor(QColor(255, 255, 0));
    settings()->SetKeymouseBackgroundcolor(QColor(0, 0, 200));
    settings()->SetKeymouseBackgroundopacity(100);
    settings()->SetKeymouseDisplayscreen("");
  }

  void TearDown() override {
    if (!testsupport::HaveDisplay()) return;
    QProcess::execute("xdotool", {"keyup", "ctrl", "shift", "alt", "a", "x"});
    KeyMouseDisplay* d = KeyMouseDisplay::Instance();
    d->UninstallHook();
    QApplication::processEvents();
    for (int code : QList<int>(d->HeldKeys())) d->OnKeyEvent(1, code);
    for (int i = 0; i < 3 && d->isVisible(); ++i) QMetaObject::invokeMethod(d, "onTimer");
  }

  static Settings* settings() { return Settings::Instance(); }
  static KeyMouseDisplay* display() { return KeyMouseDisplay::Instance(); }

};

TEST_F(KeyMouseXdotoolTest, PressedCombinationIsShownAndHiddenAfterRelease) {
  ApplyKeyMouseSettings();
  ASSERT_TRUE(platform::GetKeyboardEvents().IsInstalled());
  KeySpy spy(display());

  Type("ctrl+shift+a", "keydown");
  ASSERT_TRUE(Eventually([&] {
    return display()->text() == "左Ctrl" + kSeparator + "左Shift" + kSeparator + "A";
  })) << display()->text().toStdString();
  EXPECT_TRUE(display()->isVisible());
  EXPECT_EQ(display()->HeldKeys(), (QList<int>{0xA2, 0xA0, 0x41}));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(display()));
  EXPECT_TRUE(guitest::SaveScreenshot(display(), "keymousedisplay_ctrl_shift_a"));
  Type("ctrl+shift+a", "keyup");
  ASSERT_TRUE(Eventually([&] { return display()->HeldKeys().isEmpty(); }));
  EXPECT_EQ(spy.downs, (std::vector<int>{0xA2, 0xA0, 0x41}));
  EXPECT_EQ(spy.ups.size(), 3u) << ::testing::PrintToString(spy.ups) << ::testing::PrintToString(spy.downs);

  // Released: gone by itself.
  ASSERT_TRUE(Eventually([&] { return !display()->isVisible(); }));
  EXPECT_TRUE(display()->HeldKeys().isEmpty());
}

TEST_F(KeyMouseXdotoolTest, FlagsChooseBetweenCommonKeysAndCombinations) {
  settings()->SetKeymouseShowcombinekey(false);
  ApplyKeyMouseSettings();
  KeySpy spy(display());
  Type("shift+b");
  ASSERT_TRUE(Eventually([&] { return display()->text() == QString("B"); }));
  ASSERT_TRUE(Eventually([&] { return spy.ups.size() == 2u; })) << ::testing::PrintToString(spy.ups) << ::testing::PrintToString(spy.downs);

  settings()->SetKeymouseShowcombinekey(true);
  settings()->SetKeymouseShowcommonkey(false);
  ApplyKeyMouseSettings();
  Type("c");
  Type("ctrl+d");
  ASSERT_TRUE(Eventually([&] { return display()->text() == "左Ctrl" + kSeparator + "D"; }));
  EXPECT_TRUE(spy.Saw(0x43));  // delivered, but not shown on its own
}

// A modifier held for a while is still shown, once, with the key that
// follows: the hide countdown runs only while no key is held.
TEST_F(KeyMouseXdotoolTest, LongHeldModifierStaysForTheNextKey) {
  settings()->SetKeymouseShowcommonkey(false);
  ApplyKeyMouseSettings();
  KeySpy spy(display());
  Type("z");  // released: the hide countdown is running
  ASSERT_TRUE(Eventually([&] { return spy.ups.size() == 1u; }));
  Type("ctrl", "keydown");
  ASSERT_TRUE(Eventually([&] { return display()->text() == QString("左Ctrl"); }));
  QTest::qWait(3300);
  EXPECT_EQ(display()->HeldKeys(), QList<int>{0xA2});
  Type("a");
  ASSERT_TRUE(Eventually([&] { return spy.Saw(0x41); }));
  QApplication::processEvents();
  EXPECT_EQ(display()->text(), "左Ctrl" + kSeparator + "A");
  EXPECT_TRUE(display()->isVisible());
  Type("ctrl", "keyup");

  // The server repeats a held letter (never a modifier): the overlay sees
  // one press.
  Type("x", "keydown");
  QTest::qWait(1500);
  Type("x", "keyup");
  ASSERT_TRUE(Eventually([&] { return display()->HeldKeys().isEmpty(); }));
  EXPECT_EQ(std::count(spy.downs.begin(), spy.downs.end(), 0x58), 1);
}

TEST_F(KeyMouseXdotoolTest, DigitsPunctuationAndKeypadGetTheirNames) {
  ApplyKeyMouseSettings();
  KeySpy spy(display());
  Type("alt+1");
  ASSERT_TRUE(Eventually([&] { return display()->text() == "左Alt" + kSeparator + "1"; }));
  Type("bracketleft");
  ASSERT_TRUE(Eventually([&] { return display()->text() == QString("["); }));
  Type("F5");
  ASSERT_TRUE(Eventually([&] { return display()->text() == QString("F5"); }));
  Type("KP_Multiply");
  ASSERT_TRUE(Eventually([&] { return display()->text() == QString("*"); }));
  Type("Return");
  ASSERT_TRUE(Eventually([&] { return display()->text() == QString("Enter"); }));
  // The keypad's digits follow Num Lock.
  Type("KP_End");
  ASSERT_TRUE(Eventually([&] { return display()->text() == QString("End"); }))
      << display()->text().toStdString();
  Type("Num_Lock");
  Type("KP_End");
  ASSERT_TRUE(Eventually([&] { return display()->text() == QString("NUM_1"); }))
      << display()->text().toStdString();
  Type("Num_Lock");
}

TEST_F(KeyMouseXdotoolTest, OverlayIsPlacedOnTheChosenMonitor) {
  ASSERT_TRUE(Shell("xrandr --setmonitor '*LEFT' 960/254x1080/286+0+0 screen >/dev/null") &&
              Shell("xrandr --setmonitor RIGHT 960/254x1080/286+960+0 none >/dev/null"));
  settings()->SetKeymouseDisplayscreen("RIGHT");
  ApplyKeyMouseSettings();
  EXPECT_EQ(display()->MonitorRect(), (platform::Rect{960, 0, 1920, 1080}));
  Type("x", "keydown");
  ASSERT_TRUE(Eventually([&] { return display()->text() == QString("X"); }));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(display()));
  ASSERT_TRUE(Eventually([&] { return display()->pos() == QPoint(960 + (960 - display()->width()) / 2, 1080 - display()->height()); }));
  ASSERT_TRUE(guitest::SaveScreenshot(display(), "keymousedisplay_right_monitor"));

  // The chosen background fills the window (no compositor: opacity is not drawn).
  QTest::qWait(100);
  const QImage shot = QGuiApplication::primaryScreen()
                          ->grabWindow(0, display()->x(), display()->y(), display()->width(),
                                       display()->height())
                          .toImage();
  EXPECT_EQ(QColor(shot.pixel(3, 3)), QColor(0, 0, 200));
  Type("x", "keyup");

  Shell("xrandr --delmonitor LEFT >/dev/null 2>&1");
  Shell("xrandr --delmonitor RIGHT >/dev/null 2>&1");
}

TEST_F(KeyMouseXdotoolTest, UninstalledHookDeliversNothing) {
  ApplyKeyMouseSettings();
  KeySpy spy(display());
  EXPECT_TRUE(display()->UninstallHook());
  EXPECT_FALSE(platform::GetKeyboardEvents().IsInstalled());
  Type("e");
  // Installed again, the next key arrives and the one before never did.
  ApplyKeyMouseSettings();
  Type("f");
  ASSERT_TRUE(Eventually([&] { return spy.Saw(0x46); }));
  EXPECT_FALSE(spy.Saw(0x45));
}

TEST_F(KeyMouseXdotoolTest, SettingsDialogRemovesTheHookWhenTheDisplayIsSwitchedOff) {
  ApplyKeyMouseSettings();
  {
    SettingsDialog dialog(nullptr);
    auto* showKeys = dialog.findChild<QCheckBox*>("checkBox_4");
    ASSERT_NE(showKeys, nullptr);
    showKeys->setChecked(false);
    EXPECT_TRUE(platform::GetKeyboardEvents().IsInstalled());  // not before closing
    ASSERT_TRUE(dialog.SaveSettings());
    EXPECT_FALSE(platform::GetKeyboardEvents().IsInstalled());
  }
  {
    SettingsDialog dialog(nullptr);
    dialog.findChild<QCheckBox*>("checkBox_4")->setChecked(true);
    ASSERT_TRUE(dialog.SaveSettings());
    EXPECT_TRUE(platform::GetKeyboardEvents().IsInstalled());
  }
  KeySpy spy(display());
  Type("g");
  ASSERT_TRUE(Eventually([&] { return spy.Saw(0x47); }));
}

}  // namespace

// Key presses and monitor changes stay on a display of this program's own.
int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
