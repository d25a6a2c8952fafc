#include <glog/logging.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

// After Qt: Xlib defines Bool.
#include <X11/Xlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/x11errortrap.h"
#include "platform/termination.h"

namespace platform {
namespace {

int g_signalFds[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  // Only async-signal-safe work here: wake the GUI thread.
  ssize_t ignored = write(g_signalFds[0], &byte, 1);
  (void)ignored;
}

std::function<void()> g_finish;
QtMessageHandler g_previousMessageHandler = nullptr;

bool OnGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

void DisplayLost() {
  static std::atomic<bool> entered{false};
  if (entered.exchange(true)) return;  // already finishing
  LOG(ERROR) << "the X display is gone: finishing the recording";
  if (g_finish) g_finish();
  LOG(ERROR) << "exiting: the X display is gone";
  google::FlushLogFiles(google::GLOG_INFO);
  std::fflush(nullptr);
  std::_Exit(1);
}

// Qt's X11 plugin warns that its connection broke and then calls exit()
// at once; the warning is the last moment at which the GUI thread still
// runs with nothing torn down.
void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (g_previousMessageHandler) g_previousMessageHandler(type, context, message);
  if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke")) &&
      OnGuiThread())
    DisplayLost();
}

// A connection of the layer (or of the capture library) on a worker thread
// goes on failing its requests: its owner stops it. Any other connection
// would end the process on return, so on the GUI thread the file is
// finished first.
int OnIOError(Display* display) {
  static std::atomic<bool> logged{false};
  if (!logged.exchange(true)) LOG(ERROR) << "X connection broken";
  if (!native::IsTolerated(display) && OnGuiThread()) DisplayLost();
  return 0;
}

}  // namespace

void InstallDisplayLossHandler(std::function<void()> finish) {
  g_finish = std::move(finish);
  g_previousMessageHandler = qInstallMessageHandler(OnQtMessage);
  XSetIOErrorHandler(OnIOError);
}

void InstallTerminationHandler(std::function<void()> handler) {
  if (!QCoreApplication::instance()) {
    LOG(ERROR) << "termination handler needs the application object";
    return;
  }
  // Neither end blocks: the notifier may report a byte that a nested event
  // loop has read already, and a full pipe already holds a wake-up.
  if (g_signalFds[0] < 0 &&
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_signalFds) != 0) {
    PLOG(ERROR) << "socketpair failed";
    return;
  }
  auto* notifier =
      new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [handler](int fd) {
    char byte;
    if (read(fd, &byte, 1) != 1) return;
    handler();
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

}  // namespace platform
