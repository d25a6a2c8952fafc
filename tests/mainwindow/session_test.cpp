// Session lock, unlock and end while the main window records: through the
// fake session, and through the real layer with a logind stand-in on the
// test's session bus.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QThread>

#include <cstdlib>
#include <functional>
#include <string>

#include "guitestenv.h"
#include "mainwindow/mainwindow.h"
#include "platform/backend.h"
#include "platform/fake/fake_screen_duplication.h"
#include "platform/fake/fake_session.h"
#include "settings.h"
#include "support/mediaprobe.h"

class MainWindowTestAccess {
 public:
  static bool Paused(MainWindow& w) { return w.m_recorder && w.m_recorder->IsPaused(); }
};

namespace {

using platform::SessionEvent;
using Raise = std::function<void(SessionEvent)>;

constexpr char kLogind[] = "org.freedesktop.login1";
constexpr char kManagerPath[] = "/org/freedesktop/login1";
constexpr char kManager[] = "org.freedesktop.login1.Manager";
constexpr char kSessionPath[] = "/org/freedesktop/login1/session/_37";
constexpr char kSession[] = "org.freedesktop.login1.Session";

// logind's manager object: names the caller's session. Lives in a thread of
// its own, so that the program's blocking calls get their answers.
class LogindManager : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

 public:
  bool refuseAuto = false;  // as for a process outside any session
  QStringList asked;

 public slots:
  QDBusObjectPath GetSession(const QString& id) {
    asked << "GetSession " + id;
    if (refuseAuto) sendErrorReply("org.freedesktop.login1.NoSessionForPID", "no session");
    return QDBusObjectPath(kSessionPath);
  }
  QDBusObjectPath GetSessionByPID(uint pid) {
    asked << "GetSessionByPID " + QString::number(pid);
    return QDBusObjectPath(kSessionPath);
  }
};

class LogindStandIn {
 public:
  LogindStandIn() : m_bus(QDBusConnection::connectToBus(Address(), "logind-stand-in")) {
    m_thread.start();
    m_manager.moveToThread(&m_thread);
    ok = m_bus.registerService(kLogind) &&
         m_bus.registerObject(kManagerPath, &m_manager, QDBusConnection::ExportAllSlots);
    setenv("KORVOREC_LOGIND_BUS", Address().toLocal8Bit().constData(), 1);
  }
  ~LogindStandIn() {
    unsetenv("KORVOREC_LOGIND_BUS");
    m_bus.unregisterObject(kManagerPath);
    m_bus.unregisterService(kLogind);
    m_thread.quit();
    m_thread.wait();
    QDBusConnection::disconnectFromBus("logind-stand-in");
  }
  static QString Address() { return QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")); }

  // What logind sends: Lock/Unlock, or only the LockedHint property, from
  // the session's own path; PrepareForShutdown from the manager.
  void Send(SessionEvent event, bool asHint = false) {
    QDBusMessage signal;
    if (event == SessionEvent::Ending) {
      signal = QDBusMessage::createSignal(kManagerPath, kManager, "PrepareForShutdown");
      signal << true;
    } else if (asHint) {
      signal = QDBusMessage::createSignal(kSessionPath, "org.freedesktop.DBus.Properties",
                                          "PropertiesChanged");
      signal << QString(kSession)
             << QVariantMap{{"LockedHint", event == SessionEvent::Locked}} << QStringList();
    } else {
      signal = QDBusMessage::createSignal(kSessionPath, kSession,
                                          event == SessionEvent::Locked ? "Lock" : "Unlock");
    }
    m_bus.send(signal);
  }

  LogindManager& manager() { return m_manager; }
  bool ok = false;

 private:
  QDBusConnection m_bus;
  QThread m_thread;
  LogindManager m_manager;
};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    guitest::App();
    ASSERT_TRUE(Settings::Instance()->Init());
    Settings* settings = Settings::Instance();
    settings->SetGeneralFilesaveurl(QString::fromStdString(m_dir.path()));
    settings->SetRecordRecordtype(RecordMode::Monitor);
    settings->SetRecordRecordaudio(3);  // no sound
    settings->SetRecordRecordresolution(3);
    settings->SetRecordVideoframerate(15);
    settings->SetGeneralHideWhenRecord(false);
  }

  static bool ShowsPaused(MainWindow& w) {
    const auto image = [](const QIcon& icon) { return icon.pixmap(24, 24).toImage(); };
    return image(w.findChild<QPushButton*>("pushButton")->icon()) ==
           image(QIcon(":/record.png"));
  }
  static bool Paused(MainWindow& w) { return MainWindowTestAccess::Paused(w); }
  static std::string Elapsed(MainWindow& w) {
    return w.findChild<QLabel*>("label_duration")->text().toStdString();
  }
  static void ClickStart(MainWindow& w) {
    QTest::mouseClick(w.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  }

  // Lock pauses with the paused look and a still clock; unlock resumes only
  // that pause, never one the user chose.
  static void LockAndUnlock(MainWindow& w, const Raise& raise) {
    ClickStart(w);
    ASSERT_TRUE(w.IsRecording());
    raise(SessionEvent::Locked);
    QTRY_VERIFY_WITH_TIMEOUT(Paused(w), 5000);
    EXPECT_TRUE(ShowsPaused(w));
    const std::string lockedAt = Elapsed(w);
    QTest::qWait(2200);
    EXPECT_EQ(Elapsed(w), lockedAt) << "the clock ran through the lock";
    raise(SessionEvent::Locked);  // a second lock changes nothing
    raise(SessionEvent::Unlocked);
    QTRY_VERIFY_WITH_TIMEOUT(!Paused(w), 5000);
    EXPECT_FALSE(ShowsPaused(w));
    QTRY_VERIFY_WITH_TIMEOUT(Elapsed(w) != lockedAt, 3000);

    ClickStart(w);  // the user pauses
    ASSERT_TRUE(Paused(w));
    raise(SessionEvent::Locked);
    raise(SessionEvent::Unlocked);
    QTest::qWait(500);
    EXPECT_TRUE(Paused(w)) << "unlock resumed the user's pause";
    EXPECT_TRUE(ShowsPaused(w));
    ClickStart(w);
    EXPECT_FALSE(Paused(w));
  }

  // The end of the session finishes the file.
  void EndFinishesTheFile(MainWindow& w, const Raise& raise) {
    QTest::qWait(500);
    raise(SessionEvent::Ending);
    QTRY_VERIFY_WITH_TIMEOUT(!w.IsRecording(), 5000);
    EXPECT_EQ(w.findChild<QLabel*>("label_duration")->text(), "00:00:00");
    EXPECT_FALSE(w.findChild<QPushButton*>("pushButton_stop")->isEnabled());
    const QStringList files = QDir(QString::fromStdString(m_dir.path())).entryList({"*.mp4"});
    ASSERT_EQ(files.size(), 1);
    const auto probe = testsupport::ProbeMedia(m_dir.path() + "/" + files[0].toStdString());
    EXPECT_TRUE(probe.opened);
    EXPECT_NE(probe.Video(), nullptr);
  }

  testsupport::TempDir m_dir;
};

TEST_F(SessionTest, FakeSessionLockUnlockAndEnd) {
  platform::Backend::Use(platform::BackendKind::Fake);
  platform::fake::FakeScreen::Instance().Reset();
  platform::fake::FakeScreen::Instance().SetChangingScreen(true);
  auto& session = platform::fake::FakeSession::Instance();
  {
    MainWindow w;
    w.show();
    const Raise raise = [&session](SessionEvent e) { session.Raise(e); };
    LockAndUnlock(w, raise);
    EndFinishesTheFile(w, raise);
  }
  session.Reset();
  platform::fake::FakeScreen::Instance().Reset();
  platform::Backend::Use(platform::BackendKind::X11);
}

TEST_F(SessionTest, LogindSignalsFromTheSessionsOwnPath) {
  if (LogindStandIn::Address().isEmpty()) GTEST_SKIP() << "needs a session bus";
  platform::Backend::Use(platform::BackendKind::X11);
  LogindStandIn logind;
  ASSERT_TRUE(logind.ok);
  {
    MainWindow w;
    w.show();
    EXPECT_EQ(logind.manager().asked.join(", ").toStdString(), "GetSession auto");
    const Raise raise = [&logind](SessionEvent e) { logind.Send(e); };
    LockAndUnlock(w, raise);

    // A locker that only sets LockedHint.
    logind.Send(SessionEvent::Locked, true);
    QTRY_VERIFY_WITH_TIMEOUT(Paused(w), 5000);
    logind.Send(SessionEvent::Unlocked, true);
    QTRY_VERIFY_WITH_TIMEOUT(!Paused(w), 5000);

    EndFinishesTheFile(w, raise);
  }

  // Outside a session "auto" is refused: the process id finds it.
  logind.manager().asked.clear();
  logind.manager().refuseAuto = true;
  MainWindow w;
  EXPECT_EQ(logind.manager().asked.join(", ").toStdString(),
            "GetSession auto, GetSessionByPID " +
                std::to_string(QCoreApplication::applicationPid()));
}

}  // namespace

#include "session_test.moc"
