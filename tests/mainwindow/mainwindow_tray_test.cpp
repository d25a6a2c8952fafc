#include <gtest/gtest.h>

#include <QAction>
#include <QCursor>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>

#include <memory>
#include <utility>
#include <vector>

#include "guitestenv.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/shadowmenu.h"
#include "platform/fake/fake_hotkeys.h"
#include "settings.h"
#include "widgets/globalhotkey.h"

// The main window's tray icon, close-to-tray rule and hot keys, with the
// fake hot keys standing in for the system's.
namespace {

using Held = std::vector<std::pair<uint32_t, uint32_t>>;

// Closes the modal dialogs that open while it lives, noting their texts and
// parents.
class ModalCatcher {
 public:
  ModalCatcher() {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      auto* label = dialog->findChild<QLabel*>("label");
      texts.push_back(label ? label->text() : QString());
      parents.push_back(dialog->parentWidget());
      dialog->reject();
    });
    m_timer.start(20);
  }
  std::vector<QString> texts;
  std::vector<QWidget*> parents;

 private:
  QTimer m_timer;
};

class MainWindowTrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    guitest::App();
    platform::Backend::Use(platform::BackendKind::Fake);
    ASSERT_TRUE(Settings::Instance()->Init());
    m_startPause = Settings::Instance()->GetRecordStartpausehotkey();
    m_stop = Settings::Instance()->GetRecordStophotkey();
    m_hideWhenClose = Settings::Instance()->GetGeneralHidewhenclose();
    Settings::Instance()->SetRecordStartpausehotkey(Qt::AltModifier, Qt::Key_9);
    Settings::Instance()->SetRecordStophotkey(Qt::ShiftModifier, Qt::Key_S);
    fake().Reset();
    // No test waits on a message box, whatever goes wrong.
    m_catcher = std::make_unique<ModalCatcher>();
  }
  void TearDown() override {
    if (!testsupport::HaveDisplay()) return;
    Settings::Instance()->SetRecordStartpausehotkey(m_startPause.first, m_startPause.second);
    Settings::Instance()->SetRecordStophotkey(m_stop.first, m_stop.second);
    Settings::Instance()->SetGeneralHidewhenclose(m_hideWhenClose);
    // Lets the store write itself now; a store still unwritten when the
    // process ends crashes in its destructor.
    QApplication::processEvents();
    fake().Reset();
  }

  static platform::fake::FakeHotKeys& fake() { return platform::fake::FakeHotKeys::Instance(); }
  static QList<GlobalHotKey*> HotKeys(MainWindow* window) {
    return window->findChildren<GlobalHotKey*>("hotkey");
  }
  static QSystemTrayIcon* Tray(MainWindow* window) {
    return window->findChild<QSystemTrayIcon*>();
  }

  std::unique_ptr<ModalCatcher> m_catcher;
  std::pair<int, int> m_startPause;
  std::pair<int, int> m_stop;
  bool m_hideWhenClose = true;
};

TEST_F(MainWindowTrayTest, HotKeysFollowTheSettingsAndAreNeverHeldTwice) {
  ModalCatcher& catcher = *m_catcher;
  MainWindow window;
  // Idle: the stop key is left to other programs.
  EXPECT_EQ(fake().Held(), (Held{{0x39, 1}}));
  EXPECT_EQ(HotKeys(&window).size(), 1);

  window.RegisterHotKeys();
  window.RegisterHotKeys();
  EXPECT_EQ(fake().Held(), (Held{{0x39, 1}}));
  EXPECT_EQ(HotKeys(&window).size(), 1);

  Settings::Instance()->SetRecordStartpausehotkey(Qt::ControlModifier | Qt::ShiftModifier,
                                                 Qt::Key_F2);
  Settings::Instance()->SetRecordStophotkey(Qt::ControlModifier, Qt::Key_F3);
  window.RegisterHotKeys();
  EXPECT_EQ(fake().Held(), (Held{{0x71, 6}}));
  EXPECT_FALSE(fake().Press(0x39, platform::kHotKeyAlt));

  window.UnRegisterHotKey();
  EXPECT_TRUE(fake().Held().empty());
  EXPECT_TRUE(HotKeys(&window).isEmpty());
  EXPECT_TRUE(catcher.texts.empty());
}

TEST_F(MainWindowTrayTest, EachHotKeyReachesItsRecordingCall) {
  testsupport::TempDir folder;
  Settings::Instance()->SetGeneralFilesaveurl(QString::fromStdString(folder.path()));
  Settings::Instance()->SetRecordRecordtype(RecordMode::Monitor);
  Settings::Instance()->SetRecordRecordaudio(3);
  MainWindow window;
  const QList<GlobalHotKey*> keys = HotKeys(&window);
  ASSERT_EQ(keys.size(), 1);
  EXPECT_TRUE(QObject::disconnect(keys[0], &GlobalHotKey::activated, &window,
                                  &MainWindow::onHotKeyOfStartPause));
  window.RegisterHotKeys();

  // The stop key is held from the start to the stop of a recording only;
  // start/pause records, stop ends it.
  auto* stopButton = window.findChild<QPushButton*>("pushButton_stop");
  auto* duration = window.findChild<QLabel*>("label_duration");
  ASSERT_TRUE(stopButton && duration);
  EXPECT_FALSE(fake().Press(0x53, platform::kHotKeyShift));
  EXPECT_TRUE(fake().Press(0x39, platform::kHotKeyAlt));
  EXPECT_TRUE(window.IsRecording()) << "the start/pause key did not start";
  EXPECT_TRUE(stopButton->isEnabled());
  EXPECT_EQ(fake().Held(), (Held{{0x39, 1}, {0x53, 4}}));
  EXPECT_TRUE(fake().Press(0x53, platform::kHotKeyShift));
  EXPECT_FALSE(window.IsRecording());
  EXPECT_FALSE(stopButton->isEnabled());
  EXPECT_EQ(fake().Held(), (Held{{0x39, 1}}));
  EXPECT_EQ(duration->text(), QStringLiteral("00:00:00"));
}

TEST_F(MainWindowTrayTest, RefusedHotKeyIsReportedAndTheOtherStillWorks) {
  fake().HoldElsewhere(0x53, platform::kHotKeyShift);
  ModalCatcher& catcher = *m_catcher;
  MainWindow window;
  // Asked for when the keys are set, told once the window is up.
  QApplication::processEvents();
  ASSERT_EQ(catcher.texts.size(), 1u);
  EXPECT_EQ(catcher.texts[0], QStringLiteral("Shift+S与系统其他热键有冲突"));
  EXPECT_EQ(catcher.parents[0], &window);  // even while the window is still hidden

  // The start holds it and is refused: no box, the recording goes on.
  QSignalSpy spy(HotKeys(&window)[0], &GlobalHotKey::activated);
  EXPECT_TRUE(fake().Press(0x39, platform::kHotKeyAlt));
  EXPECT_EQ(spy.count(), 1);
  EXPECT_TRUE(window.IsRecording());
  EXPECT_EQ(fake().Held(), (Held{{0x39, 1}}));
  EXPECT_EQ(HotKeys(&window).size(), 2);  // the refused one stays until it is released
  window.RegisterHotKeys();
  EXPECT_EQ(HotKeys(&window).size(), 2);
  EXPECT_EQ(fake().Held(), (Held{{0x39, 1}}));
  window.on_pushButton_stop_clicked();
  EXPECT_EQ(HotKeys(&window).size(), 1);
  EXPECT_EQ(catcher.texts.size(), 1u) << "told again";
}

TEST_F(MainWindowTrayTest, CloseHidesToTrayOrClosesAsSet) {
  Settings::Instance()->SetGeneralHidewhenclose(true);
  MainWindow window;
  QSystemTrayIcon* tray = Tray(&window);
  ASSERT_TRUE(tray);
  EXPECT_FALSE(tray->isVisible());
  EXPECT_EQ(tray->toolTip(), QStringLiteral("Korvo录屏"));
  EXPECT_FALSE(tray->icon().isNull());
  EXPECT_EQ(tray->contextMenu(), nullptr);

  // No tray host: nothing could bring a hidden window back, so it is only
  // minimised.
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  window.show();
  auto* close = window.findChild<QPushButton*>("ButtonClose");
  ASSERT_TRUE(close);
  close->click();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());
  EXPECT_FALSE(tray->isVisible());

  guitest::TrayHost host;
  ASSERT_TRUE(host.ok);
  window.showNormal();
  close->click();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(tray->isVisible());

  emit tray->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(tray->isVisible());  // once shown it stays
  window.hide();
  emit tray->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(window.isVisible());
  window.hide();
  emit tray->activated(QSystemTrayIcon::MiddleClick);
  EXPECT_FALSE(window.isVisible());

  Settings::Instance()->SetGeneralHidewhenclose(false);
  window.UnRegisterHotKey();  // or the second window's keys would be refused
  MainWindow other;
  other.show();
  other.findChild<QPushButton*>("ButtonClose")->click();
  EXPECT_FALSE(other.isVisible());
  EXPECT_FALSE(Tray(&other)->isVisible());
}

TEST_F(MainWindowTrayTest, TrayMenuOpensAboveTheCursorAndQuitEndsTheLoop) {
  guitest::TrayHost host;
  ASSERT_TRUE(host.ok);
  MainWindow window;
  window.HideToTray();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(Tray(&window)->isVisible());

  auto* menu = window.findChild<ShadowMenu*>();
  ASSERT_TRUE(menu);
  const QList<QAction*> actions = menu->actions();
  ASSERT_EQ(actions.size(), 2);
  EXPECT_EQ(actions[0]->text(), QStringLiteral("打开主面板"));
  EXPECT_EQ(actions[1]->text(), QStringLiteral("退出"));

  QCursor::setPos(900, 700);
  QApplication::processEvents();
  const QPoint cursor = QCursor::pos();
  emit Tray(&window)->activated(QSystemTrayIcon::Context);
  EXPECT_TRUE(menu->isVisible());
  EXPECT_EQ(menu->geometry().topLeft(),
            QPoint(cursor.x(), cursor.y() - menu->sizeHint().height()));
  menu->hide();

  actions[0]->trigger();
  EXPECT_TRUE(window.isVisible());

  // Quit ends the event loop and leaves the window as it is.
  QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);
  QTimer::singleShot(0, actions[1], &QAction::trigger);
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_EQ(aboutToQuit.count(), 1);
  EXPECT_TRUE(window.isVisible());
}

}  // namespace

// The close rule is seen without a tray host and then with one: a bare
// display of its own.
int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }
