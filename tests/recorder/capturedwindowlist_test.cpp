#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

#include <algorithm>

#include "mainwindow/guitestenv.h"
#include "platform/windows.h"
#include "platform/fake/fake_screen_copy.h"
#include "platform/fake/fake_windows.h"
#include "recorder/capturedwindowlist.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

using platform::TopLevelWindow;
using platform::fake::FakeScreenCopyScript;
using platform::fake::FakeWindows;

namespace {

TopLevelWindow Win(platform::WindowId id, const std::string& title,
                   const std::string& className = "app", bool visible = true,
                   bool minimized = false) {
  TopLevelWindow w;
  w.id = id;
  w.title = title;
  w.className = className;
  w.rect = {10, 10, 330, 250};
  w.visible = visible;
  w.minimized = minimized;
  return w;
}

const WindowInfo* Find(const std::vector<WindowInfo>& list, platform::WindowId id) {
  auto it = std::find_if(list.begin(), list.end(),
                         [id](const WindowInfo& w) { return w.window == id; });
  return it == list.end() ? nullptr : &*it;
}

class CapturedWindowListFake : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Backend::Use(platform::BackendKind::Fake);
    FakeWindows::Instance().Reset();
    FakeScreenCopyScript::Instance().Reset();
  }
};

}  // namespace

TEST_F(CapturedWindowListFake, KeepsWhatAUserWouldCallAWindowInStackingOrder) {
  auto& windows = FakeWindows::Instance();
  // Added bottom first: the list is topmost first.
  windows.AddWindow(Win(1, "Editor", "editor"));
  windows.AddWindow(Win(2, "Minimised", "app", true, true));
  windows.AddWindow(Win(3, ""));
  windows.AddWindow(Win(4, "Hidden", "app", false));
  windows.AddWindow(Win(5, "设置 - Korvo录屏 - 1"));
  windows.AddWindow(Win(6, "Dialog"));
  windows.AddWindow(Win(7, "Dialog box"));
  windows.AddWindow(Win(8, "Task View", "Windows.UI.Core.CoreWindow"));
  windows.AddWindow(Win(9, "Task View", "other"));
  windows.AddWindow(Win(10, "PopupHost", "Xaml_WindowedPopupClass"));
  windows.AddWindow(Win(11, "Browser", "browser"));

  testsupport::LogCapture log;
  CapturedWindowList list;
  const auto& entries = list.Windows();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].window, 11u);
  EXPECT_EQ(entries[0].title, "Browser");
  EXPECT_EQ(entries[0].className, "browser");
  EXPECT_EQ(entries[1].window, 9u);
  EXPECT_EQ(entries[2].window, 7u);
  EXPECT_EQ(entries[3].window, 1u);
  EXPECT_TRUE(log.Contains("is iconic handle is 2"));

  list.Add(WindowInfo(11, "Browser", "browser"));
  EXPECT_EQ(list.Windows().size(), 4u) << "a handle is listed once";
  const WindowInfo read(1);
  EXPECT_EQ(read.title, "Editor");
  EXPECT_EQ(read.className, "editor");
}

TEST_F(CapturedWindowListFake, ThumbnailNeedsAWindowThatCanBeCopied) {
  FakeWindows::Instance().AddWindow(Win(1, "Editor"));
  FakeWindows::Instance().AddWindow(Win(2, "Gone"));
  FakeScreenCopyScript::Instance().SetWindowImage(1, 320, 240, 0xFF336699u);

  PrintCaptureHelper helper;
  EXPECT_FALSE(helper.Capture()) << "before Init";
  EXPECT_FALSE(helper.Init(42)) << "no such window";
  EXPECT_FALSE(helper.Capture());
  ASSERT_TRUE(helper.Init(1));
  ASSERT_TRUE(helper.Capture());
  EXPECT_EQ(helper.Width(), 320);
  EXPECT_EQ(helper.Height(), 240);
  EXPECT_EQ(helper.ImageSize(), 320u * 240 * 4);
  EXPECT_EQ(reinterpret_cast<const uint32_t*>(helper.Bits())[320 * 239 + 319], 0xFF336699u);
  ASSERT_TRUE(helper.Init(2));
  EXPECT_FALSE(helper.Capture());
  helper.Release();
  EXPECT_FALSE(helper.Capture());
}

TEST(CapturedWindowListX11, ListsShownWindowsAndLeavesOutOurOwnAndHiddenOnes) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  guitest::App();
  QWidget target;
  target.setWindowTitle("List target 窗口");
  target.setGeometry(100, 100, 300, 200);
  target.show();
  QWidget main;
  main.setWindowTitle("Korvo录屏");
  main.setGeometry(500, 100, 200, 100);
  main.show();
  QWidget picker;
  picker.setWindowTitle("Dialog");
  picker.setGeometry(500, 300, 200, 100);
  picker.show();
  QWidget hidden;
  hidden.setWindowTitle("Hidden helper");
  hidden.winId();  // a native window that is never shown
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&target));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&picker));

  CapturedWindowList list;
  const auto& entries = list.Windows();
  const WindowInfo* found = Find(entries, target.winId());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->title, "List target 窗口");
  EXPECT_FALSE(found->className.empty());
  EXPECT_EQ(Find(entries, main.winId()), nullptr);
  EXPECT_EQ(Find(entries, picker.winId()), nullptr);
  EXPECT_EQ(Find(entries, hidden.winId()), nullptr);
  // Nothing unmapped, untitled or ours, whatever the toolkit keeps hidden.
  const auto all = platform::Windows().EnumerateTopLevel();
  for (const auto& entry : entries) {
    EXPECT_FALSE(entry.title.empty());
    EXPECT_EQ(entry.title.find("Korvo录屏"), std::string::npos);
    auto it = std::find_if(all.begin(), all.end(),
                           [&](const TopLevelWindow& w) { return w.id == entry.window; });
    if (it != all.end()) EXPECT_TRUE(it->visible) << entry.title;
  }

  // The thumbnail of the shown window is its picture.
  PrintCaptureHelper helper;
  ASSERT_TRUE(helper.Init(target.winId()));
  ASSERT_TRUE(helper.Capture());
  EXPECT_EQ(helper.Width(), 300);
  EXPECT_EQ(helper.Height(), 200);
  ASSERT_TRUE(helper.Init(hidden.winId()));
  EXPECT_FALSE(helper.Capture()) << "a window that shows nothing has no picture";
}
