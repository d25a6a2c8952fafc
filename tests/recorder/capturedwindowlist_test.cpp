#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <tuple>

#include "mainwindow/guitestenv.h"
#include "platform/windows.h"
#include "platform/fake/fake_screen_copy.h"
#include "platform/fake/fake_windows.h"
#include "recorder/capturedwindowlist.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xcomposite.h>

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
  // Roles that are parts of something else, and what stays out of task bars.
  using platform::WindowType;
  platform::WindowId id = 20;
  for (WindowType type : {WindowType::Utility, WindowType::Toolbar, WindowType::Menu,
                          WindowType::Splash, WindowType::Dock, WindowType::Desktop,
                          WindowType::Notification, WindowType::Other}) {
    TopLevelWindow w = Win(id++, "Part");
    w.type = type;
    windows.AddWindow(w);
  }
  TopLevelWindow skipper = Win(30, "Skipper");
  skipper.skipTaskbar = true;
  windows.AddWindow(skipper);
  // A shown modal dialog takes its owner's input: the owner is left out,
  // the dialog listed; a hidden one disables nothing.
  windows.AddWindow(Win(31, "Owner"));
  windows.AddWindow(Win(32, "Other owner"));
  for (auto [dialog, owner, visible] : {std::tuple{33, 31, true}, std::tuple{34, 32, false}}) {
    TopLevelWindow w = Win(dialog, "Question", "app", visible);
    w.type = WindowType::Dialog;
    w.modal = true;
    w.transientFor = platform::WindowId(owner);
    windows.AddWindow(w);
  }

  testsupport::LogCapture log;
  CapturedWindowList list;
  std::vector<platform::WindowId> listed;
  for (const auto& entry : list.Windows()) listed.push_back(entry.window);
  EXPECT_EQ(listed, (std::vector<platform::WindowId>{33, 32, 11, 9, 7, 1}));
  const auto& entries = list.Windows();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[2].title, "Browser");
  EXPECT_EQ(entries[2].className, "browser");
  EXPECT_TRUE(log.Contains("is iconic handle is 2"));

  list.Add(WindowInfo(11, "Browser", "browser"));
  EXPECT_EQ(list.Windows().size(), 6u) << "a handle is listed once";
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
  QWidget palette(nullptr, Qt::Tool);
  palette.setWindowTitle("Palette");
  palette.setGeometry(800, 100, 100, 100);
  palette.show();
  QWidget panel, skipper, owner;
  panel.setWindowTitle("Panel");
  skipper.setWindowTitle("Skipper");
  owner.setWindowTitle("Owner");
  int x = 800;
  for (QWidget* w : {&panel, &skipper, &owner}) {
    w->setGeometry(x += 120, 300, 100, 100);
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  }
  QWidget question(&owner, Qt::Dialog);
  question.setWindowTitle("Question");
  question.setWindowModality(Qt::WindowModal);
  question.setGeometry(1200, 500, 100, 100);
  question.show();
  // Roles and states as a panel or a task-bar-shy program set them.
  auto set = [](QWidget& w, const char* property, const char* value) {
    const std::string command = "xprop -id " + std::to_string(w.winId()) + " -f " + property +
                                " 32a -set " + property + " " + value;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  };
  set(panel, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DOCK");
  set(skipper, "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&target));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&picker));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&question));

  CapturedWindowList list;
  const auto& entries = list.Windows();
  const WindowInfo* found = Find(entries, target.winId());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->title, "List target 窗口");
  EXPECT_FALSE(found->className.empty());
  EXPECT_EQ(Find(entries, main.winId()), nullptr);
  EXPECT_EQ(Find(entries, picker.winId()), nullptr);
  EXPECT_EQ(Find(entries, hidden.winId()), nullptr);
  for (QWidget* w : {&palette, &panel, &skipper, &owner})
    EXPECT_EQ(Find(entries, w->winId()), nullptr) << w->windowTitle().toStdString();
  EXPECT_NE(Find(entries, question.winId()), nullptr);
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

// A covered window's thumbnail is its own picture where it keeps one (it is
// redirected); otherwise it is read from the screen, and says so. On a
// server without a compositor, which redirects every window.
TEST(CapturedWindowListBareServer, CoveredWindowThumbnailFromItsCompositePixmap) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  guitest::App();
  auto filled = [](QWidget& w, Qt::GlobalColor colour, const QRect& geometry) {
    QPalette palette = w.palette();
    palette.setColor(QPalette::Window, colour);
    w.setPalette(palette);
    w.setAutoFillBackground(true);
    w.setGeometry(geometry);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  };
  QWidget target(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  QWidget cover(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  filled(target, Qt::cyan, {100, 100, 200, 100});
  filled(cover, Qt::red, {150, 100, 150, 100});
  QTest::qWait(100);
  auto pixel = [](const PrintCaptureHelper& h, int x, int y) {
    return reinterpret_cast<const uint32_t*>(h.Bits())[size_t(y) * h.Width() + x];
  };

  PrintCaptureHelper helper;
  ASSERT_TRUE(helper.Init(target.winId()));
  ASSERT_TRUE(helper.Capture());
  EXPECT_TRUE(helper.FromScreen());
  EXPECT_NE(pixel(helper, 150, 50), 0xFF00FFFFu) << "the screen shows no window under another";

  // Part of this one lies off the screen, which refuses to be read there:
  // the refusal is caught with the request, not left to the connection.
  QWidget offScreen(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  filled(offScreen, Qt::green, {1820, 100, 200, 100});
  {
    testsupport::LogCapture log;
    PrintCaptureHelper edge;
    ASSERT_TRUE(edge.Init(offScreen.winId()));
    edge.Capture();
    EXPECT_FALSE(log.Contains("X error ignored"));
  }

  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  XCompositeRedirectWindow(display, target.winId(), CompositeRedirectAutomatic);
  XSync(display, False);
  target.repaint();
  QTest::qWait(100);
  ASSERT_TRUE(helper.Capture());
  EXPECT_FALSE(helper.FromScreen());
  EXPECT_EQ(pixel(helper, 10, 50), 0xFF00FFFFu);
  EXPECT_EQ(pixel(helper, 150, 50), 0xFF00FFFFu) << "the window's own picture under the cover";
  XCloseDisplay(display);
}

// The cases for a server without window manager and compositor run on one
// of their own.
int main(int argc, char** argv) {
  return testsupport::RunTestsOnOwnDisplay(argc, argv, "*BareServer*");
}
