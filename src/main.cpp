#include <glog/logging.h>
#include <langinfo.h>

#include <QApplication>
#include <QCursor>
#include <QScreen>
#include <QSharedMemory>
#include <QStringList>
#include <QTextCodec>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "constants.h"
#include "loadedlibraries.h"
#include "logging.h"
#include "mainwindow/mainwindow.h"
#include "platform/backend.h"
#include "platform/screen_duplication.h"
#include "platform/session_capabilities.h"
#include "platform/system_info.h"
#include "platform/termination.h"
#include "platform/windows.h"
#include "settings.h"
#include "settingsdialog/keymousedisplay.h"
#include "utils.h"
#include "utils_ui.h"

namespace {

constexpr char kInstanceKey[] = "screenrecorder20f25820-b63a-4150-b315-f5fa555b9ec6";
constexpr uint32_t kActivateMessage = 2025;

// Qt encodes file names with the locale codec, so GB2312 is taken only where
// the system itself speaks it; elsewhere (UTF-8) Chinese folder names would be
// written garbled.
void SetLocaleCodec() {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset && (std::strncmp(codeset, "GB", 2) == 0))
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("GB2312"));
}

// The toolkit scales for the display; the process needs nothing more.
void SetDpiAwareness() {}

void CreateDataFolders() {
  for (const std::string& folder : {Settings::LogFolder(), Settings::TempFolder()})
    if (!CreateDir(folder)) LOG(ERROR) << "make dir failed:" << folder;
}

void ActivateRunningInstance() {
  auto& windows = platform::Windows();
  const platform::WindowId window =
      windows.FindWindow(platform::kToolkitWindowClass, kAppName);
  if (window) windows.PostMessage(window, kActivateMessage, 0, 0);
}

// A Wayland session runs the program's windows through XWayland, unless
// the user chose otherwise.
void PreferXWayland() {
  if (platform::IsWaylandSession() && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "xcb");
}

// The main window's form is laid out at a fixed size. On a screen too small
// for it at the desktop's scale, the program takes the largest scale at which
// it fits; true when it has to.
bool FitScaleToScreen() {
  constexpr int kFormWidth = 755, kFormHeight = 595;
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return false;
  const QSize available = screen->availableGeometry().size();
  const double fit = std::min(double(available.width()) / kFormWidth,
                              double(available.height()) / kFormHeight);
  if (fit >= 1.0) return false;
  bool given = false;
  double factor = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&given);
  if (!given || factor <= 0) factor = 1.0;
  qputenv("QT_SCALE_FACTOR", QByteArray::number(std::floor(factor * fit * 1000) / 1000, 'f', 3));
  return true;
}

void WarnOfWaylandSession() {
  if (platform::IsWaylandSession())
    LOG(WARNING) << "this Wayland session has no XWayland: the program needs it";
}

// The screen the user chose to share is asked for once, then restored.
void KeepScreenCastPermission() {
  platform::KeepScreenCastPermission(
      Settings::Instance()->GetRecordScreencastToken().toStdString(),
      [](const std::string& token) {
        QMetaObject::invokeMethod(
            qApp,
            [token] { Settings::Instance()->SetRecordScreencastToken(QString::fromStdString(token)); },
            Qt::QueuedConnection);
      });
}

// What this session lets the program do, told once at start (the message
// box holds one line).
QString WaylandSessionNotice(const platform::SessionCapabilities& c) {
  QStringList missing;
  if (!c.screenCast) missing << QStringLiteral("录制屏幕");
  if (!c.windowCast) missing << QStringLiteral("Wayland 程序的窗口");
  if (!c.globalHotKeys) missing << QStringLiteral("全局热键");
  if (!c.globalInput) missing << QStringLiteral("按键显示和点击光圈");
  QString text = QStringLiteral("Wayland 会话：");
  if (c.screenCast) text += QStringLiteral("屏幕经桌面共享录制");
  if (!missing.isEmpty())
    text += (c.screenCast ? QStringLiteral("，") : QString()) + missing.join(QStringLiteral("、")) +
            QStringLiteral("不可用");
  return text;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Answered at once, without a display.
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("korvorec %s\n", kAppVersion);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::printf(
        "用法: korvorec [/background | --help | --version]\n"
        "  /background  启动后隐藏到通知区域\n"
        "  --help       显示本帮助后退出\n"
        "  --version    显示版本后退出\n");
    return 0;
  }
  bool startHidden = argc > 1 && std::strcmp(argv[1], "/background") == 0;

  PreferXWayland();
  SetLocaleCodec();
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
  QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
  QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
      Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
  SetDpiAwareness();
  std::string why;
  if (!platform::Backend::DisplayReachable(&why)) {
    // Nothing can be recorded: say so in the log (and on stderr) and fail.
    CreateDataFolders();
    InitLogging();
    WarnOfWaylandSession();
    LOG(ERROR) << "cannot start: " << why;
    return 1;
  }
  LoadCaptureLibrary(LoadedLibraries());
  // Nothing here draws with OpenGL: without the toolkit's GL integration the
  // X11 platform plugin loads no GL driver, which takes some 45 MB resident.
  if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
    qputenv("QT_XCB_GL_INTEGRATION", "none");

  auto app = std::make_unique<QApplication>(argc, argv);
  const QByteArray scaleFactor = qgetenv("QT_SCALE_FACTOR");
  const bool scaledToFit = FitScaleToScreen();
  if (scaledToFit) {
    // The scale is read when the application object is made.
    app.reset();
    app = std::make_unique<QApplication>(argc, argv);
    // Programs started from here keep the user's own.
    if (scaleFactor.isNull())
      qunsetenv("QT_SCALE_FACTOR");
    else
      qputenv("QT_SCALE_FACTOR", scaleFactor);
  }
  Q_INIT_RESOURCE(resources);
  CreateDataFolders();
  InitLogging();
  if (!Settings::Instance()->Init()) {
    LOG(ERROR) << "init settings failed";
    return 0;
  }
  LogMachineInfo();
  KeepScreenCastPermission();
  if (scaledToFit) LOG(INFO) << "the screen is too small at its scale: the program is drawn smaller";

  // Two starts at the same moment cannot both pass.
  auto instance = std::make_unique<QSharedMemory>(kInstanceKey);
  if (!CreateInstanceGuard(instance.get())) {
    LOG(INFO) << "another instance is running";
    ActivateRunningInstance();
    return 0;
  }

  const bool crashedBefore = TakeCrashNotice();
  auto window = std::make_unique<MainWindow>();
  if (startHidden)
    window->HideToTray();
  else
    window->show();
  if (crashedBefore) {
    LOG(INFO) << "the last run crashed: telling the user";
    window->TellUser(QString::fromUtf8(kCrashApology));
  }
  if (Settings::Instance()->GetKeymouseShowkeystroke()) ApplyKeyMouseSettings();
  const platform::SessionCapabilities& session = platform::GetSessionCapabilities();
  if (session.wayland) {
    const QString notice = WaylandSessionNotice(session);
    LOG(INFO) << "told the user: " << notice.toStdString();
    window->TellUser(notice);
  }

  // Asked to end (log-out, kill): leave the event loop so that everything is
  // torn down in order, a running recording included.
  platform::InstallTerminationHandler([] {
    LOG(INFO) << "termination requested";
    QCoreApplication::quit();
  });
  platform::InstallDisplayLossHandler([&window] {
    if (window) window->OnSystemShutdown();
  });
  app->exec();

  KeyMouseDisplay::Instance()->UninstallHook();
  window.reset();
  instance.reset();
  app.reset();
  return 0;
}
