// The real program with the key display switched on: a key held on the
// display (xdotool) shows the overlay at the bottom middle of the screen.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSharedMemory>
#include <QThread>

#include <cstdlib>
#include <functional>

#include "constants.h"
#include "platform/windows.h"
#include "settings.h"
#include "e2esupport.h"
#include "support/testsupport.h"

namespace {

using namespace e2e;

// A shown top-level window other than the main one, standing on the bottom
// edge of the 1920x1080 screen and centred on it.
bool OverlayShown(platform::Rect* where) {
  const platform::WindowId main = FindMain();
  for (const auto& w : platform::Windows().EnumerateTopLevel()) {
    if (w.id == main || !w.visible) continue;
    if (std::abs(w.rect.bottom - 1080) <= 1 && std::abs((w.rect.left + w.rect.right) - 1920) <= 2) {
      *where = w.rect;
      return true;
    }
  }
  return false;
}

void Xdotool(const QStringList& args) {
  ASSERT_EQ(QProcess::execute("xdotool", args), 0) << args.join(' ').toStdString();
}

TEST(KeystrokeE2E, HeldKeysShowTheOverlayAndTheProgramStillEndsCleanly) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
  if (QProcess::execute("sh", {"-c", "command -v xdotool >/dev/null"}) != 0)
    GTEST_SKIP() << "needs xdotool";
  platform::Backend::Use(platform::BackendKind::X11);
  static int argc = 1;
  static char arg0[] = "keystroke_e2e_test";
  static char* argv[] = {arg0, nullptr};
  QCoreApplication app(argc, argv);

  testsupport::TempDir home;
  const QString homePath = QString::fromStdString(home.path());
  setenv("XDG_CONFIG_HOME", (home.path() + "/.config").c_str(), 1);
  ASSERT_TRUE(Settings::Instance()->Init());
  Settings* settings = Settings::Instance();
  settings->SetKeymouseShowkeystroke(true);
  settings->SetKeymouseShowcombinekey(true);
  settings->SetKeymouseShowcommonkey(true);
  settings->SetKeymouseBackgroundopacity(100);
  ASSERT_TRUE(settings->Init());  // written out
  ASSERT_EQ(settings->FileName(), homePath + "/.config/Korvo/screenrecorder.conf");
  ASSERT_TRUE(settings->GetKeymouseShowkeystroke());

  InstanceRunning();
  ASSERT_FALSE(InstanceRunning()) << "another korvorec runs on this machine";
  const QProcessEnvironment env = EnvironmentWithHome(homePath);
  ChildProcess program;
  program.setProcessEnvironment(env);
  program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  program.start(QString::fromStdString(testsupport::BuildDir()) + "/korvorec", QStringList());
  ASSERT_TRUE(program.waitForStarted(5000));
  ASSERT_TRUE(WaitFor([] { return FindMain() != 0; })) << "program did not come up";

  platform::Rect where;
  EXPECT_FALSE(OverlayShown(&where));
  // The hook comes after the main window: press until it is there.
  bool shown = false;
  for (int attempt = 0; attempt < 15 && !shown; ++attempt) {
    Xdotool({"keydown", "shift+b"});
    shown = WaitFor([&] { return OverlayShown(&where); }, 1000);
    if (!shown) Xdotool({"keyup", "shift+b"});
  }
  ASSERT_TRUE(shown) << "no overlay on screen: " << DescribeWindows();
  EXPECT_GE(where.Width(), 260);
  Xdotool({"keyup", "shift+b"});
  // Released: it goes away by itself.
  EXPECT_TRUE(WaitFor([&] { return !OverlayShown(&where); }));

  program.terminate();
  ASSERT_TRUE(program.waitForFinished(15000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  WaitFor([] { return !InstanceRunning(); }, 5000);
}

}  // namespace
