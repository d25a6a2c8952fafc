#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/windows.h"
#include "support/testsupport.h"

namespace {

// Another client's window, mapped and synced.
Window MakeWindow(Display* d, int i) {
  const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 10 * i, 10 * i, 50, 50, 0, 0, 0);
  XStoreName(d, w, "churn");
  XMapWindow(d, w);
  return w;
}

// Windows of other programs come and go at any moment: asking about one that
// just went away answers "nothing" and the program lives on (Xlib's own
// handler would end it).
TEST(WindowsX11, QuestionsAboutVanishedWindowsAreAnsweredNotFatal) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
  platform::Backend::Use(platform::BackendKind::X11);
  auto& windows = platform::Windows();
  Display* other = XOpenDisplay(nullptr);
  ASSERT_NE(other, nullptr);

  const platform::WindowId gone = MakeWindow(other, 1);
  XSync(other, False);
  XDestroyWindow(other, gone);
  XSync(other, False);
  EXPECT_TRUE(windows.WindowBounds(gone).IsEmpty());
  EXPECT_FALSE(windows.IsCovered(gone));
  EXPECT_NE(windows.Activate(gone), platform::Result::Ok);
  windows.SetAlwaysOnTop(gone, true);
  windows.PostMessage(gone, 2025, 0, 0);

  // Enumerating while windows are created and destroyed beside it.
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};
  std::thread lister([&] {
    while (!done) {
      for (const auto& w : windows.EnumerateTopLevel()) (void)windows.WindowBounds(w.id);
      ++rounds;
    }
  });
  for (int i = 0; (i < 300 || rounds < 20) && i < 5000; ++i) {
    std::vector<Window> batch;
    for (int k = 0; k < 5; ++k) batch.push_back(MakeWindow(other, k));
    XSync(other, False);
    for (Window w : batch) XDestroyWindow(other, w);
    XSync(other, False);
  }
  done = true;
  lister.join();
  XCloseDisplay(other);
  EXPECT_GE(rounds.load(), 20);
}

}  // namespace

int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
