#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "platform/hotkeys.h"
#include "support/testsupport.h"
#include "widgets/globalhotkey.h"

// Hot keys held on the test display, pressed through XTest by xdotool.
namespace {

QCoreApplication* App() {
  static int argc = 1;
  static char name[] = "hotkeys-test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return app;
}

void Type(const QString& keys) {
  ASSERT_EQ(QProcess::execute("xdotool", {"key", keys}), 0) << keys.toStdString();
}

// Turns Caps Lock and Num Lock off again, as the display reports them.
void ReleaseLocks() {
  QProcess xset;
  xset.start("xset", {"q"});
  if (!xset.waitForFinished()) return;
  const QString state = QString::fromLatin1(xset.readAllStandardOutput()).simplified();
  if (state.contains("Caps Lock: on")) QProcess::execute("xdotool", {"key", "Caps_Lock"});
  if (state.contains("Num Lock: on")) QProcess::execute("xdotool", {"key", "Num_Lock"});
}

const QKeySequence kAlt9(Qt::ALT | Qt::Key_9);
constexpr uint32_t kVk9 = 0x39;

class HotKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    if (QProcess::execute("sh", {"-c", "command -v xdotool >/dev/null"}) != 0) GTEST_SKIP() << "needs xdotool";
    App();
    ASSERT_FALSE(platform::Backend::IsFake());
    ReleaseLocks();
  }
  void TearDown() override {
    if (testsupport::HaveDisplay()) ReleaseLocks();
  }
};

TEST_F(HotKeysTest, PressedCombinationReachesItsHotKeyWhateverTheLockKeys) {
  GlobalHotKey startPause;
  GlobalHotKey stop;
  ASSERT_TRUE(startPause.SetShortcut(kAlt9));
  ASSERT_TRUE(stop.SetShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F7)));
  QSignalSpy startPauseSpy(&startPause, &GlobalHotKey::activated);
  QSignalSpy stopSpy(&stop, &GlobalHotKey::activated);

  // A combination nobody holds, then a held one: only the held one arrives.
  Type("alt+8");
  Type("alt+9");
  ASSERT_TRUE(startPauseSpy.wait(5000));
  EXPECT_EQ(startPauseSpy.count(), 1);
  EXPECT_EQ(stopSpy.count(), 0);

  Type("ctrl+shift+F7");
  ASSERT_TRUE(stopSpy.wait(5000));
  EXPECT_EQ(startPauseSpy.count(), 1);

  // Num Lock and Caps Lock do not hide the combination.
  Type("Num_Lock");
  Type("alt+9");
  ASSERT_TRUE(startPauseSpy.wait(5000));
  Type("Caps_Lock");
  Type("alt+9");
  ASSERT_TRUE(startPauseSpy.wait(5000));
  EXPECT_EQ(startPauseSpy.count(), 3);
  EXPECT_EQ(stopSpy.count(), 1);
}

TEST_F(HotKeysTest, CombinationsWhoseCodesOverlapAreHeldApart) {
  GlobalHotKey f2, altF1, ctrlA, altB;
  ASSERT_TRUE(f2.SetShortcut(QKeySequence(Qt::Key_F2)));
  ASSERT_TRUE(altF1.SetShortcut(QKeySequence(Qt::ALT | Qt::Key_F1)));
  ASSERT_TRUE(ctrlA.SetShortcut(QKeySequence(Qt::CTRL | Qt::Key_A)));
  ASSERT_TRUE(altB.SetShortcut(QKeySequence(Qt::ALT | Qt::Key_B)));
  QSignalSpy f2Spy(&f2, &GlobalHotKey::activated);
  QSignalSpy altF1Spy(&altF1, &GlobalHotKey::activated);
  QSignalSpy altBSpy(&altB, &GlobalHotKey::activated);
  Type("alt+F1");
  ASSERT_TRUE(altF1Spy.wait(5000));
  Type("F2");
  ASSERT_TRUE(f2Spy.wait(5000));
  Type("alt+b");
  ASSERT_TRUE(altBSpy.wait(5000));
  EXPECT_EQ(altF1Spy.count(), 1);
  EXPECT_EQ(f2Spy.count(), 1);
}

TEST_F(HotKeysTest, CombinationHeldByAnotherProgramIsRefusedUntilReleased) {
  std::unique_ptr<platform::HotKeys> other = platform::NewHotKeysClient();
  ASSERT_TRUE(other);
  ASSERT_EQ(other->Register(kVk9, platform::kHotKeyAlt), platform::Result::Ok);

  GlobalHotKey key;
  EXPECT_FALSE(key.SetShortcut(kAlt9));
  EXPECT_FALSE(GlobalHotKey::Register(kAlt9));
  // The refused object holds nothing: the other program keeps the key.
  QSignalSpy spy(&key, &GlobalHotKey::activated);

  ASSERT_EQ(other->Unregister(kVk9, platform::kHotKeyAlt), platform::Result::Ok);
  EXPECT_EQ(other->Unregister(kVk9, platform::kHotKeyAlt), platform::Result::Failed);
  ASSERT_TRUE(key.SetShortcut(kAlt9));
  // Now the other program is the one refused.
  EXPECT_EQ(other->Register(kVk9, platform::kHotKeyAlt), platform::Result::Failed);

  Type("alt+9");
  ASSERT_TRUE(spy.wait(5000));
  EXPECT_EQ(spy.count(), 1);
}

TEST_F(HotKeysTest, ReleasingGivesTheCombinationBack) {
  std::unique_ptr<platform::HotKeys> other = platform::NewHotKeysClient();
  ASSERT_TRUE(other);

  // The test-and-release of the settings dialog.
  ASSERT_TRUE(GlobalHotKey::Register(kAlt9));
  EXPECT_EQ(other->Register(kVk9, platform::kHotKeyAlt), platform::Result::Failed);
  EXPECT_TRUE(GlobalHotKey::Unregister(kAlt9));
  EXPECT_FALSE(GlobalHotKey::Unregister(kAlt9));
  ASSERT_EQ(other->Register(kVk9, platform::kHotKeyAlt), platform::Result::Ok);
  ASSERT_EQ(other->Unregister(kVk9, platform::kHotKeyAlt), platform::Result::Ok);

  // Destroying a hot key releases it.
  auto key = std::make_unique<GlobalHotKey>();
  ASSERT_TRUE(key->SetShortcut(kAlt9));
  EXPECT_EQ(other->Register(kVk9, platform::kHotKeyAlt), platform::Result::Failed);
  key.reset();
  EXPECT_EQ(other->Register(kVk9, platform::kHotKeyAlt), platform::Result::Ok);
  EXPECT_EQ(other->Unregister(kVk9, platform::kHotKeyAlt), platform::Result::Ok);
}

TEST_F(HotKeysTest, SecondHotKeyOfOursOnTheSameCombination) {
  GlobalHotKey holder;
  ASSERT_TRUE(holder.SetShortcut(kAlt9));
  QSignalSpy spy(&holder, &GlobalHotKey::activated);
  {
    // Refused even though the server would let the same client grab twice;
    // its filter comes first but leaves the press to the holder, and its
    // destruction does not release the holder's key.
    GlobalHotKey duplicate;
    QSignalSpy duplicateSpy(&duplicate, &GlobalHotKey::activated);
    EXPECT_FALSE(duplicate.SetShortcut(kAlt9));
    Type("alt+9");
    ASSERT_TRUE(spy.wait(5000));
    EXPECT_EQ(duplicateSpy.count(), 0);
  }
  Type("alt+9");
  ASSERT_TRUE(spy.wait(5000));
  EXPECT_EQ(spy.count(), 2);
}

TEST_F(HotKeysTest, KeysThatNoKeyboardKeyGivesAreRefused) {
  GlobalHotKey key;
  // The full stop is not in the key table; F24 is not on the test keyboard.
  EXPECT_FALSE(key.SetShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period)));
  EXPECT_FALSE(key.SetShortcut(QKeySequence(Qt::CTRL | Qt::Key_F24)));
  EXPECT_TRUE(key.SetShortcut(QKeySequence(Qt::CTRL | Qt::Key_Asterisk)));  // the keypad key
}

TEST_F(HotKeysTest, KeyboardLayoutChangeMovesTheHotKeyToItsNewKey) {
  GlobalHotKey key;
  ASSERT_TRUE(key.SetShortcut(kAlt9));
  QSignalSpy spy(&key, &GlobalHotKey::activated);
  // The keys of 9 and 0 trade places.
  ASSERT_EQ(QProcess::execute("xmodmap", {"-e", "keycode 18 = 0 parenright", "-e",
                                          "keycode 19 = 9 parenleft"}),
            0);
  bool arrived = false;
  for (int i = 0; i < 10 && !arrived; ++i) {
    Type("alt+9");
    arrived = spy.wait(1000);
  }
  // The key that gave 9 before now gives 0 and is no longer held.
  Type("alt+0");
  QTest::qWait(300);
  QProcess::execute("xmodmap", {"-e", "keycode 18 = 9 parenleft", "-e",
                                "keycode 19 = 0 parenright"});
  EXPECT_TRUE(arrived) << "the hot key stayed on the key that gave 9 before";
  EXPECT_EQ(spy.count(), 1);
}

}  // namespace

// Changes the keyboard layout: on a display of its own.
int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
