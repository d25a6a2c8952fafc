#include <glog/logging.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <memory>

#include "platform/session.h"

namespace platform::native {
namespace {

// Receives the bus signals and turns them into session events.
class SessionWatcher : public QObject {
  Q_OBJECT

 public:
  explicit SessionWatcher(std::function<void(SessionEvent)> handler)
      : m_handler(std::move(handler)) {}

 public slots:
  // org.freedesktop.ScreenSaver: the screen locker came up or went away.
  void onScreenSaverActiveChanged(bool active) {
    m_handler(active ? SessionEvent::Locked : SessionEvent::Unlocked);
  }
  // logind session object.
  void onLock() { m_handler(SessionEvent::Locked); }
  void onUnlock() { m_handler(SessionEvent::Unlocked); }
  // logind manager: the machine goes down.
  void onPrepareForShutdown(bool starting) {
    if (starting) m_handler(SessionEvent::Ending);
  }

 private:
  std::function<void(SessionEvent)> m_handler;
};

class DBusSession : public SessionFacility {
 public:
  void Watch(std::function<void(SessionEvent)> handler) override {
    m_watcher.reset();  // its bus connections go with it
    if (!handler) return;
    if (!QCoreApplication::instance()) {
      LOG(ERROR) << "session events need the application object";
      return;
    }
    m_watcher = std::make_unique<SessionWatcher>(std::move(handler));
    QDBusConnection session = QDBusConnection::sessionBus();
    if (session.isConnected()) {
      session.connect(QString(), "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                      "ActiveChanged", m_watcher.get(), SLOT(onScreenSaverActiveChanged(bool)));
      session.connect(QString(), "/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged",
                      m_watcher.get(), SLOT(onScreenSaverActiveChanged(bool)));
    } else {
      LOG(WARNING) << "no session bus: lock and unlock are not seen";
    }
    QDBusConnection system = QDBusConnection::systemBus();
    if (system.isConnected()) {
      system.connect("org.freedesktop.login1", "/org/freedesktop/login1",
                     "org.freedesktop.login1.Manager", "PrepareForShutdown", m_watcher.get(),
                     SLOT(onPrepareForShutdown(bool)));
      system.connect("org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
                     "org.freedesktop.login1.Session", "Lock", m_watcher.get(), SLOT(onLock()));
      system.connect("org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
                     "org.freedesktop.login1.Session", "Unlock", m_watcher.get(),
                     SLOT(onUnlock()));
    }
  }

  Result KeepAwake(bool awake) override {
    if (awake == m_awake) return Result::Ok;
    m_awake = awake;
    Result result = Result::Unsupported;
    QDBusInterface saver("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                         "org.freedesktop.ScreenSaver", QDBusConnection::sessionBus());
    if (awake) {
      if (saver.isValid()) {
        QDBusReply<uint> cookie = saver.call("Inhibit", "korvorec", "recording the screen");
        if (cookie.isValid()) {
          m_cookie = cookie.value();
          m_haveCookie = true;
          result = Result::Ok;
        }
      }
      QDBusInterface login("org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", QDBusConnection::systemBus());
      if (login.isValid()) {
        QDBusReply<QDBusUnixFileDescriptor> fd =
            login.call("Inhibit", "sleep:idle", "korvorec", "recording the screen", "block");
        if (fd.isValid()) {
          m_sleepLock = fd.value();
          result = Result::Ok;
        }
      }
    } else {
      if (m_haveCookie && saver.isValid()) saver.call("UnInhibit", m_cookie);
      m_haveCookie = false;
      m_sleepLock = QDBusUnixFileDescriptor();  // closing the descriptor ends the lock
      result = Result::Ok;
    }
    return result;
  }

 private:
  std::unique_ptr<SessionWatcher> m_watcher;
  bool m_awake = false;
  bool m_haveCookie = false;
  uint m_cookie = 0;
  QDBusUnixFileDescriptor m_sleepLock;
};

}  // namespace

SessionFacility& SessionInstance() {
  static DBusSession instance;
  return instance;
}

}  // namespace platform::native

#include "session_dbus.moc"
