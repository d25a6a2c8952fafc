#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "guitestenv.h"
#include "mainwindow/diskspace.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/scheduleclock.h"
#include "platform/backend.h"
#include "platform/fake/fake_shell.h"
#include "settings.h"
#include "support/mediaprobe.h"

// Drives the window's timers by hand.
class MainWindowTestAccess {
 public:
  static void StopTicking(MainWindow& w) { w.m_tickTimer.stop(); }
  static void Tick(MainWindow& w) { w.onTimer(); }
  static void DurationTick(MainWindow& w) { w.onDurationTimer(); }
  static void SetElapsed(MainWindow& w, uint64_t seconds) { w.m_elapsedSeconds = seconds; }
  static void SetScheduleTicks(MainWindow& w, uint64_t ticks) { w.m_scheduleTicks = ticks; }
  static void CheckScheduleOnStop(MainWindow& w) { w.CheckScheduleOnStop(); }
  static bool IsRecording(MainWindow& w) { return w.IsRecording(); }
  static void StartPause(MainWindow& w) { w.StartPauseRecording(); }
  static void Stop(MainWindow& w) { w.StopRecording(); }
  static QString StatusBarTime(MainWindow& w) {
    return w.m_statusBar.findChild<QLabel*>("label_2")->text();
  }
};

namespace {

using Access = MainWindowTestAccess;
using platform::fake::FakeShell;

constexpr int64_t kStart = 1900000000;  // a fixed second on the test clock

// Closes every modal box that comes up and keeps its text.
class DialogCloser {
 public:
  DialogCloser() {
    m_timer.setInterval(20);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      QWidget* dialog = QApplication::activeModalWidget();
      if (!dialog) return;
      if (auto* label = dialog->findChild<QLabel*>("label")) texts.push_back(label->text());
      if (auto* ok = dialog->findChild<QPushButton*>("pushButton")) ok->click();
    });
    m_timer.start();
  }
  std::vector<QString> texts;

 private:
  QTimer m_timer;
};

class ScheduleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    guitest::App();
    platform::Backend::Use(platform::BackendKind::Fake);
    FakeShell::Instance().Reset();
    ASSERT_TRUE(Settings::Instance()->Init());
    Settings::Instance()->SetGeneralFilesaveurl(QString::fromStdString(m_dir.path()));
    Settings::Instance()->SetRecordRecordtype(RecordMode::Monitor);
    Settings::Instance()->SetRecordRecordaudio(3);
    m_now = kStart - 10;
    scheduleclock::SetSource([this] { return m_now; });
  }

  void TearDown() override {
    scheduleclock::SetSource(nullptr);
    SetFreeDiskBytesSource(nullptr);
  }

  static void SetTask(int64_t start, int64_t end, uint64_t dur, int op, bool enabled = true) {
    Settings* s = Settings::Instance();
    s->SetRecordRecordTask(QDateTime::fromSecsSinceEpoch(start),
                           end ? QDateTime::fromSecsSinceEpoch(end) : QDateTime(), dur, op);
    s->SetRecordEnableRecordSchedule(enabled);
  }

  static bool Enabled() { return Settings::Instance()->GetRecordEnableRecordSchedule(); }
  static std::vector<std::string> Actions() { return FakeShell::Instance().PowerActions(); }

  std::unique_ptr<MainWindow> NewWindow() {
    auto w = std::make_unique<MainWindow>();
    Access::StopTicking(*w);
    return w;
  }

  // One tick of the window at the given second.
  void TickAt(MainWindow& w, int64_t second) {
    m_now = second;
    Access::Tick(w);
  }

  testsupport::TempDir m_dir;
  int64_t m_now = 0;
  DialogCloser m_closer;
};

TEST_F(ScheduleTest, DurationStopsOnTheTickAfterItsLastSecond) {
  SetTask(kStart, 0, 60, 2);
  auto w = NewWindow();
  TickAt(*w, kStart - 1);
  TickAt(*w, kStart);
  EXPECT_TRUE(Access::IsRecording(*w)) << "the scheduled start did not record";
  for (int64_t t = kStart + 1; t <= kStart + 60; ++t) TickAt(*w, t);
  EXPECT_TRUE(Actions().empty());
  EXPECT_TRUE(Enabled());
  TickAt(*w, kStart + 61);
  EXPECT_EQ(Actions(), std::vector<std::string>{"hibernate"});
  EXPECT_FALSE(Enabled());
  EXPECT_FALSE(Access::IsRecording(*w));
  // One-shot: later ticks do nothing more.
  TickAt(*w, kStart + 62);
  EXPECT_EQ(Actions().size(), 1u);
}

// Ticks may miss a second: the start is taken late and the end once passed.
TEST_F(ScheduleTest, MissedSecondsStillStartAndEnd) {
  SetTask(kStart, kStart + 5, 0, 3);
  auto w = NewWindow();
  TickAt(*w, kStart - 1);
  TickAt(*w, kStart + 1);  // the start second had no tick
  EXPECT_TRUE(Access::IsRecording(*w)) << "the scheduled start was missed";
  TickAt(*w, kStart + 4);
  EXPECT_TRUE(Enabled());
  TickAt(*w, kStart + 6);  // nor the end second
  EXPECT_FALSE(Access::IsRecording(*w));
  EXPECT_EQ(Actions(), std::vector<std::string>{"shutdown"});
  EXPECT_FALSE(Enabled());
}

// A task that recorded nothing (its start passed while the program was not
// running) is switched off without its end action.
TEST_F(ScheduleTest, NothingRecordedRunsNoEndAction) {
  auto w = NewWindow();
  SetTask(kStart - 1000, kStart + 10, 0, 3);
  TickAt(*w, kStart + 10);
  EXPECT_TRUE(Actions().empty());
  EXPECT_FALSE(Enabled());

  SetTask(kStart - 1000, 0, 3, 2);
  for (int i = 11; i <= 14; ++i) TickAt(*w, kStart + i);
  EXPECT_TRUE(Actions().empty());
  EXPECT_FALSE(Enabled());
}

TEST_F(ScheduleTest, NothingWithoutAnEnabledReadableTask) {
  auto w = NewWindow();
  SetTask(kStart, kStart + 1, 0, 3, false);
  TickAt(*w, kStart);
  TickAt(*w, kStart + 1);
  EXPECT_TRUE(Actions().empty());

  // Enabled, but the stored task is not a JSON object.
  QSettings raw(Settings::Instance()->FileName(), QSettings::IniFormat);
  Settings::Instance()->SetRecordEnableRecordSchedule(true);
  raw.setValue("/record/record_task", "[1, 2]");
  raw.sync();
  TickAt(*w, kStart + 1);
  EXPECT_TRUE(Actions().empty());
  EXPECT_TRUE(Enabled());
}

TEST_F(ScheduleTest, OtherEndActionsDoNothing) {
  SetTask(kStart, kStart + 1, 0, 7);
  auto w = NewWindow();
  TickAt(*w, kStart + 1);
  EXPECT_TRUE(Actions().empty());
  EXPECT_FALSE(Enabled());
}

TEST_F(ScheduleTest, StopBeforeTheScheduledEndSwitchesTheScheduleOff) {
  auto w = NewWindow();
  m_now = kStart;
  struct Case {
    int64_t start, end;
    uint64_t dur, ticks;
    bool staysOn;
  } cases[] = {
      {kStart - 5, kStart + 5, 0, 0, false},  // before the end
      {kStart - 5, kStart, 0, 0, false},      // on the end second
      {kStart - 5, kStart - 1, 0, 0, true},   // after the end
      {kStart + 5, kStart + 9, 0, 0, true},   // not started yet
      {kStart - 5, 0, 5, 5, false},           // within the duration
      {kStart - 5, 0, 5, 6, true},            // past the duration
      {kStart - 5, 0, 0, 0, true},            // no end at all
  };
  for (const Case& c : cases) {
    SetTask(c.start, c.end, c.dur, 2);
    Access::SetScheduleTicks(*w, c.ticks);
    Access::CheckScheduleOnStop(*w);
    EXPECT_EQ(Enabled(), c.staysOn) << c.start - kStart << " " << c.end << " " << c.ticks;
  }
  // Also while switched off, and never an end action.
  SetTask(kStart - 5, kStart + 5, 0, 2, false);
  Access::CheckScheduleOnStop(*w);
  EXPECT_FALSE(Enabled());
  EXPECT_TRUE(Actions().empty());
}

TEST_F(ScheduleTest, ExitActionEndsTheProcessWithTheScheduleSwitchedOff) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  SetTask(kStart, kStart + 3, 0, 1, true);
  ASSERT_TRUE(Enabled());  // on disk for the child
  // The child is a new run of this program with folders of its own: point it
  // at this store (the first run's value is kept).
  const QString store = QFileInfo(QFileInfo(Settings::Instance()->FileName()).absolutePath())
                            .absolutePath();
  setenv("KORVOREC_PARENT_SETTINGS", store.toLocal8Bit().constData(), 0);
  EXPECT_EXIT(
      {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromLocal8Bit(std::getenv("KORVOREC_PARENT_SETTINGS")));
        Settings::Instance()->Init();
        auto w = NewWindow();
        TickAt(*w, kStart);
        if (!Access::IsRecording(*w)) std::abort();
        TickAt(*w, kStart + 3);
        std::abort();  // not reached
      },
      ::testing::ExitedWithCode(0), "");
  // What the next start of the program reads.
  QFile file(Settings::Instance()->FileName());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(file.readAll());
  EXPECT_TRUE(text.contains("enable_record_schedule=false")) << text.toStdString();
}

TEST_F(ScheduleTest, DurationTimerShowsElapsedTime) {
  auto w = NewWindow();
  Access::DurationTick(*w);
  EXPECT_EQ(w->findChild<QLabel*>("label_duration")->text(), "00:00:01");
  Access::SetElapsed(*w, 3724);
  Access::DurationTick(*w);
  EXPECT_EQ(w->findChild<QLabel*>("label_duration")->text(), "01:02:05");
  Access::SetElapsed(*w, 359999);
  Access::DurationTick(*w);
  EXPECT_EQ(w->findChild<QLabel*>("label_duration")->text(), "100:00:00");
  EXPECT_EQ(Access::StatusBarTime(*w), "100:00:00");
}

TEST_F(ScheduleTest, ScreenshotRefreshedOnlyWhileTheRecordPageCanBeSeen) {
  auto w = NewWindow();
  auto* shot = w->findChild<QLabel*>("label_screenshot");
  const auto refreshed = [&] {
    const qint64 before = shot->pixmap()->cacheKey();
    Access::Tick(*w);
    return shot->pixmap()->cacheKey() != before;
  };
  EXPECT_FALSE(refreshed());  // not shown yet (as in the tray)
  w->show();
  EXPECT_TRUE(refreshed());
  EXPECT_FALSE(shot->pixmap()->isNull());
  w->showMinimized();
  EXPECT_FALSE(refreshed());
  w->showNormal();
  w->findChild<QListWidget*>("listWidget_sidebar")->setCurrentRow(1);
  EXPECT_FALSE(refreshed());
  w->findChild<QListWidget*>("listWidget_sidebar")->setCurrentRow(0);
  EXPECT_TRUE(refreshed());
  w->HideToTray();
  EXPECT_FALSE(refreshed());
}

TEST_F(ScheduleTest, FreeSpaceThreshold) {
  const QString file = QString::fromStdString(m_dir.path()) + "/new/deeper/20240101_000000.mp4";
  // The nearest existing folder answers, with the space the user may still
  // write: blocks reserved for root are not counted.
  struct statvfs fs {};
  ASSERT_EQ(statvfs(m_dir.path().c_str(), &fs), 0);
  const int64_t available = int64_t(fs.f_bavail) * fs.f_frsize;
  const int64_t reserved = int64_t(fs.f_bfree - fs.f_bavail) * fs.f_frsize;
  EXPECT_GT(FreeDiskBytes(file), 0);
  EXPECT_LE(std::llabs(FreeDiskBytes(file) - available), std::max(reserved / 2, int64_t{16} << 20));
  EXPECT_TRUE(HasEnoughFreeSpace(file));
  EXPECT_FALSE(HasEnoughFreeSpace(""));

  int64_t free = 0;
  SetFreeDiskBytesSource([&free](const QString&) { return free; });
  free = 10485760;
  EXPECT_TRUE(HasEnoughFreeSpace(file));
  free = 10485759;
  EXPECT_FALSE(HasEnoughFreeSpace(file));
  free = -1;  // unknown: not a reason to stop
  EXPECT_TRUE(HasEnoughFreeSpace(file));
}

// A real recording on the test display, stopped by the tick when the disk
// runs low: below the minimum, or with no room left for several seconds at
// the rate it fills.
TEST_F(ScheduleTest, LowDiskStopsTheRecording) {
  platform::Backend::Use(platform::BackendKind::X11);
  auto w = NewWindow();
  int64_t free = 400 << 20;
  SetFreeDiskBytesSource([&free](const QString&) { return free; });
  const auto tickLosing = [&](int64_t mib) {
    free -= mib << 20;
    Access::Tick(*w);
  };
  Access::StartPause(*w);
  ASSERT_TRUE(Access::IsRecording(*w)) << "the recording did not start";
  tickLosing(0);
  tickLosing(50);
  tickLosing(50);
  EXPECT_TRUE(Access::IsRecording(*w)) << "stopped with room for six seconds";
  tickLosing(60);
  EXPECT_FALSE(Access::IsRecording(*w)) << "240 MiB free at over 50 MiB a second";
  ASSERT_FALSE(m_closer.texts.empty());
  EXPECT_EQ(m_closer.texts.back(), QStringLiteral("磁盘空间即将用完，停止录制"));

  m_closer.texts.clear();
  Access::StartPause(*w);
  ASSERT_TRUE(Access::IsRecording(*w));
  free = 5 << 20;
  Access::Tick(*w);
  EXPECT_FALSE(Access::IsRecording(*w));
  ASSERT_FALSE(m_closer.texts.empty());
  EXPECT_EQ(m_closer.texts.back(), QStringLiteral("磁盘不足10M，停止录制"));
  const QDir dir(QString::fromStdString(m_dir.path()));
  ASSERT_EQ(dir.entryList({"*.mp4"}).size(), 2);
  // Each stop finished its file as any stop does.
  for (const QString& name : dir.entryList({"*.mp4"}))
    EXPECT_TRUE(testsupport::IsOrdinaryMp4(dir.filePath(name).toStdString())) << name.toStdString();
}

}  // namespace
