#include <glog/logging.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

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

}  // namespace

void InstallTerminationHandler(std::function<void()> handler) {
  if (!QCoreApplication::instance()) {
    LOG(ERROR) << "termination handler needs the application object";
    return;
  }
  if (g_signalFds[0] < 0 && socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) != 0) {
    PLOG(ERROR) << "socketpair failed";
    return;
  }
  auto* notifier =
      new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [handler](int fd) {
    char byte;
    ssize_t ignored = read(fd, &byte, 1);
    (void)ignored;
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
