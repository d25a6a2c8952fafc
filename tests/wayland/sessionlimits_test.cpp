#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>

#include <cstdlib>

#include "mainwindow/guitestenv.h"
#include "platform/hotkeys.h"
#include "platform/keyboard_events.h"
#include "platform/session_capabilities.h"
#include "settings.h"
#include "settingsdialog/settingsdialog.h"
#include "settingsdialog/windowsnapshotdialog.h"
#include "support/testsupport.h"

// A Wayland session whose desktop has no portals (the test bus has none):
// the settings and the window picker say what the session does not allow,
// and the facilities report Unsupported rather than half working.
namespace {

TEST(WaylandSessionLimits, SettingsShowWhatTheSessionDoesNotAllow) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
  testsupport::TempDir dir;
  setenv("XDG_CONFIG_HOME", (dir.path() + "/config").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
  platform::Backend::Use(platform::BackendKind::Wayland);
  guitest::App();
  ASSERT_TRUE(Settings::Instance()->Init());
  Settings::Instance()->SetKeymouseShowkeystroke(true);
  Settings::Instance()->SetKeymouseHighlight(true);

  const platform::SessionCapabilities& session = platform::GetSessionCapabilities();
  EXPECT_TRUE(session.wayland);
  EXPECT_FALSE(session.screenCast);
  EXPECT_FALSE(session.globalHotKeys);
  EXPECT_FALSE(session.globalInput);
  EXPECT_EQ(platform::GetHotKeys().Register('9', platform::kHotKeyAlt),
            platform::Result::Unsupported);
  EXPECT_EQ(platform::GetKeyboardEvents().Install([](platform::KeyAction, uint32_t) {}),
            platform::Result::Unsupported);

  SettingsDialog dialog(nullptr);
  auto* note = dialog.findChild<QLabel*>("label_hotkey_session");
  ASSERT_NE(note, nullptr);
  EXPECT_TRUE(note->text().contains(QStringLiteral("全局热键需要 X11 会话或支持全局快捷键的桌面")));
  EXPECT_FALSE(dialog.findChild<QComboBox*>("comboBox_6")->isEnabled());
  for (const char* name : {"checkBox_4", "checkBox_8"}) {
    auto* box = dialog.findChild<QCheckBox*>(name);
    ASSERT_NE(box, nullptr) << name;
    EXPECT_FALSE(box->isEnabled()) << name;
    EXPECT_TRUE(box->toolTip().contains("Wayland")) << name;
    EXPECT_TRUE(box->isChecked()) << name << ": the stored choice stays for an X11 session";
  }
  EXPECT_FALSE(dialog.findChild<QComboBox*>("comboBox_4")->isEnabled());

  // The window picker lists X11 programs only, and says so.
  WindowSnapshotDialog picker(nullptr);
  bool said = false;
  for (QLabel* label : picker.findChildren<QLabel*>())
    said = said || label->text().contains(QStringLiteral("仅限 X11 程序"));
  EXPECT_TRUE(said);
}

}  // namespace
