#include <glog/logging.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <memory>

#include "platform/session.h"

namespace platform::native {
namespace {

constexpr char kLogind[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kManagerInterface[] = "org.freedesktop.login1.Manager";
constexpr char kSessionInterface[] = "org.freedesktop.login1.Session";
constexpr int kCallTimeoutMs = 3000;

// logind lives on the system bus; KORVOREC_LOGIND_BUS names another bus
// address to ask instead.
QDBusConnection LogindBus() {
  const QString address = QString::fromLocal8Bit(qgetenv("KORVOREC_LOGIND_BUS"));
  if (address.isEmpty()) return QDBusConnection::systemBus();
  return QDBusConnection::connectToBus(address, "korvorec-logind");
}

// The object path of this process's login session; empty when there is none.
// logind signals lock and unlock from that path, never from ".../session/auto".
QString LoginSessionPath(const QDBusConnection& bus) {
  const auto ask = [&bus](const char* method, const QVariant& argument) -> QString {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kLogind, kLogindPath, kManagerInterface, method);
    call << argument;
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
      LOG(WARNING) << "logind " << method << ": " << reply.errorMessage().toStdString();
      return QString();
    }
    return qdbus_cast<QDBusObjectPath>(reply.arguments().first()).path();
  };
  QString path = ask("GetSession", QString("auto"));
  if (path.isEmpty())
    path = ask("GetSessionByPID", static_cast<uint>(QCoreApplication::applicationPid()));
  return path;
}

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
  // Desktops that lock without logind's signal still set LockedHint.
  void onSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                  const QStringList&) {
    if (interface != kSessionInterface) return;
    const auto hint = changed.find("LockedHint");
    if (hint == changed.end()) return;
    m_handler(hint->toBool() ? SessionEvent::Locked : SessionEvent::Unlocked);
  }
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
    QDBusConnection logind = LogindBus();
    if (!logind.isConnected()) {
      LOG(WARNING) << "no logind bus: session lock and shutdown are not seen";
      return;
    }
    logind.connect(kLogind, kLogindPath, kManagerInterface, "PrepareForShutdown", m_watcher.get(),
                   SLOT(onPrepareForShutdown(bool)));
    const QString path = LoginSessionPath(logind);
    if (path.isEmpty()) {
      LOG(WARNING) << "no logind session: its lock and unlock are not seen";
      return;
    }
    LOG(INFO) << "following logind session " << path.toStdString();
    logind.connect(kLogind, path, kSessionInterface, "Lock", m_watcher.get(), SLOT(onLock()));
    logind.connect(kLogind, path, kSessionInterface, "Unlock", m_watcher.get(), SLOT(onUnlock()));
    logind.connect(kLogind, path, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                   m_watcher.get(),
                   SLOT(onSessionPropertiesChanged(QString, QVariantMap, QStringList)));
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
      QDBusInterface login(kLogind, kLogindPath, kManagerInterface, LogindBus());
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
