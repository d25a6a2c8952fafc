#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>

#include <memory>
#include <utility>
#include <vector>

#include "platform/fake/fake_hotkeys.h"
#include "widgets/globalhotkey.h"

// GlobalHotKey over the fake hot keys: codes, refusals and which object a
// press reaches.
namespace {

using Held = std::vector<std::pair<uint32_t, uint32_t>>;

class GlobalHotKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "globalhotkey-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
    platform::Backend::Use(platform::BackendKind::Fake);
    fake().Reset();
  }
  void TearDown() override { fake().Reset(); }
  static platform::fake::FakeHotKeys& fake() { return platform::fake::FakeHotKeys::Instance(); }
};

TEST_F(GlobalHotKeyTest, CombinationsBecomeKeyCodeAndModifierBits) {
  GlobalHotKey key;
  ASSERT_TRUE(key.SetShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A)));
  EXPECT_EQ(fake().Held(), (Held{{0x41, 6}}));
  EXPECT_TRUE(GlobalHotKey::Unregister(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A)));
  EXPECT_TRUE(fake().Held().empty());

  EXPECT_EQ(GlobalHotKey::NativeModifiers(Qt::MetaModifier | Qt::AltModifier), 9u);
  EXPECT_EQ(GlobalHotKey::NativeKeycode(Qt::Key_F24), 0x87u);
  EXPECT_EQ(GlobalHotKey::NativeKeycode(Qt::Key_Print), 0x2Au);
  EXPECT_EQ(GlobalHotKey::NativeKeycode(Qt::Key_Comma), 0x6Cu);
  EXPECT_EQ(GlobalHotKey::NativeKeycode(Qt::Key_Backtab), 0x09u);
  EXPECT_EQ(GlobalHotKey::NativeKeycode(Qt::Key_Enter), 0x0Du);
  EXPECT_EQ(GlobalHotKey::NativeKeycode(Qt::Key_Period), 0u);
}

TEST_F(GlobalHotKeyTest, UnlistedKeysAndTheEmptySequenceGoToTheSystemAsKeyZero) {
  GlobalHotKey empty;
  EXPECT_TRUE(empty.SetShortcut(QKeySequence()));
  EXPECT_EQ(fake().Held(), (Held{{0, 0}}));

  // The system's answer for key 0 is what SetShortcut reports.
  GlobalHotKey period;
  EXPECT_TRUE(period.SetShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period)));
  GlobalHotKey refused;
  fake().HoldElsewhere(0, platform::kHotKeyAlt);
  EXPECT_FALSE(refused.SetShortcut(QKeySequence(Qt::ALT | Qt::Key_Period)));
  EXPECT_EQ(fake().Held(), (Held{{0, 0}, {0, 2}}));
}

TEST_F(GlobalHotKeyTest, PressReachesOnlyTheObjectHoldingIt) {
  GlobalHotKey startPause;
  GlobalHotKey stop;
  ASSERT_TRUE(startPause.SetShortcut(QKeySequence(Qt::ALT | Qt::Key_9)));
  ASSERT_TRUE(stop.SetShortcut(QKeySequence(Qt::SHIFT | Qt::Key_S)));
  QSignalSpy startPauseSpy(&startPause, &GlobalHotKey::activated);
  QSignalSpy stopSpy(&stop, &GlobalHotKey::activated);

  EXPECT_TRUE(fake().Press(0x39, platform::kHotKeyAlt));
  EXPECT_EQ(startPauseSpy.count(), 1);
  EXPECT_EQ(stopSpy.count(), 0);
  EXPECT_TRUE(fake().Press(0x53, platform::kHotKeyShift));
  EXPECT_EQ(stopSpy.count(), 1);

  // Held by the process but by no object: passes every filter untaken.
  ASSERT_TRUE(GlobalHotKey::Register(QKeySequence(Qt::CTRL | Qt::Key_1)));
  EXPECT_FALSE(fake().Press(0x31, platform::kHotKeyControl));
  EXPECT_FALSE(platform::DeliverHotKey(0x39, platform::kHotKeyShift));
  EXPECT_EQ(startPauseSpy.count(), 1);
  EXPECT_EQ(stopSpy.count(), 1);
}

TEST_F(GlobalHotKeyTest, PairsWhoseCodesOverlapAreHeldApart) {
  // F2 and Alt+F1, Ctrl+A and Alt+B: the same bits once key and modifiers
  // are mixed, but different combinations.
  GlobalHotKey f2, altF1, ctrlA, altB;
  ASSERT_TRUE(f2.SetShortcut(QKeySequence(Qt::Key_F2)));
  ASSERT_TRUE(altF1.SetShortcut(QKeySequence(Qt::ALT | Qt::Key_F1)));
  ASSERT_TRUE(ctrlA.SetShortcut(QKeySequence(Qt::CTRL | Qt::Key_A)));
  ASSERT_TRUE(altB.SetShortcut(QKeySequence(Qt::ALT | Qt::Key_B)));
  QSignalSpy altF1Spy(&altF1, &GlobalHotKey::activated);
  QSignalSpy altBSpy(&altB, &GlobalHotKey::activated);
  EXPECT_TRUE(fake().Press(0x70, platform::kHotKeyAlt));
  EXPECT_TRUE(fake().Press(0x42, platform::kHotKeyAlt));
  EXPECT_EQ(altF1Spy.count(), 1);
  EXPECT_EQ(altBSpy.count(), 1);

  // Releasing one leaves its partner held.
  EXPECT_TRUE(GlobalHotKey::Unregister(QKeySequence(Qt::Key_F2)));
  EXPECT_FALSE(GlobalHotKey::Unregister(QKeySequence(Qt::Key_F2)));
  EXPECT_EQ(fake().Held(), (Held{{0x41, 2}, {0x42, 1}, {0x70, 1}}));
}

TEST_F(GlobalHotKeyTest, DestroyedOrReassignedHotKeyNoLongerAnswers) {
  auto key = std::make_unique<GlobalHotKey>();
  ASSERT_TRUE(key->SetShortcut(QKeySequence(Qt::ALT | Qt::Key_9)));
  key.reset();
  EXPECT_TRUE(fake().Held().empty());
  EXPECT_FALSE(platform::DeliverHotKey(0x39, platform::kHotKeyAlt));

  // A second SetShortcut lets the first combination go.
  GlobalHotKey moved;
  QSignalSpy spy(&moved, &GlobalHotKey::activated);
  ASSERT_TRUE(moved.SetShortcut(QKeySequence(Qt::ALT | Qt::Key_9)));
  ASSERT_TRUE(moved.SetShortcut(QKeySequence(Qt::ALT | Qt::Key_8)));
  EXPECT_EQ(fake().Held(), (Held{{0x38, 1}}));
  EXPECT_FALSE(platform::DeliverHotKey(0x39, platform::kHotKeyAlt));
  EXPECT_TRUE(fake().Press(0x38, platform::kHotKeyAlt));
  EXPECT_EQ(spy.count(), 1);
}

}  // namespace
