#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <thread>

#include "guitestenv.h"
#include "mainwindow/diskspace.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/recordstatusbar.h"
#include "platform/backend.h"
#include "platform/fake/fake_audio_endpoints.h"
#include "platform/fake/fake_monitors.h"
#include "platform/fake/fake_screen_duplication.h"
#include "settings.h"
#include "support/mediaprobe.h"

namespace {

bool WaitFor(const std::function<bool()>& condition, int ms = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    if (condition()) return true;
    QTest::qWait(50);
  }
  return condition();
}

// Answers the next modal message box and returns its text.
class MessageCatcher {
 public:
  MessageCatcher() {
    m_timer.setInterval(50);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      for (QLabel* label : modal->findChildren<QLabel*>())
        if (!label->text().isEmpty() && label->objectName() != "TitleContent")
          m_texts << label->text();
      modal->close();
    });
    m_timer.start();
  }
  QStringList texts() const { return m_texts; }

 private:
  QTimer m_timer;
  QStringList m_texts;
};

RecordStatusBar* StatusBar() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* bar = qobject_cast<RecordStatusBar*>(w)) return bar;
  return nullptr;
}

class RecordingControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay() || !testsupport::HavePulse())
      GTEST_SKIP() << "needs the test display and sound server";
    platform::Backend::Use(platform::BackendKind::X11);
    guitest::App();
    ASSERT_TRUE(Settings::Instance()->Init());
    Settings* settings = Settings::Instance();
    settings->SetGeneralFilesaveurl(QString::fromStdString(m_dir.path()));
    settings->SetRecordRecordtype(0);
    settings->SetRecordRecordaudio(0);  // system sound
    settings->SetRecordRecordresolution(3);  // 720x480 keeps the test light
    settings->SetRecordVideoframerate(15);
    settings->SetGeneralRecordStatusBar(true);
    settings->SetGeneralHideWhenRecord(false);
    SetFreeDiskBytesSource(nullptr);
  }

  QStringList Recordings() const {
    return QDir(QString::fromStdString(m_dir.path())).entryList({"*.mp4"}, QDir::Files);
  }

  testsupport::TempDir m_dir;
};

TEST_F(RecordingControlTest, StartPauseResumeStopWritesAPlayableFile) {
  MainWindow window;
  window.show();
  auto* start = window.findChild<QPushButton*>("pushButton");
  auto* stop = window.findChild<QPushButton*>("pushButton_stop");
  auto* duration = window.findChild<QLabel*>("label_duration");
  ASSERT_TRUE(start && stop && duration);
  EXPECT_FALSE(stop->isEnabled());

  QProcess tone;  // something to hear through the loopback
  tone.start("sh", {"-c", "sox -n -t wav - synth 30 sine 440 2>/dev/null | paplay"});

  QTest::mouseClick(start, Qt::LeftButton);
  ASSERT_TRUE(window.IsRecording());
  EXPECT_TRUE(stop->isEnabled());
  ASSERT_NE(StatusBar(), nullptr);
  EXPECT_TRUE(StatusBar()->isVisible());
  ASSERT_TRUE(WaitFor([&] { return duration->text() != "00:00:00"; }, 4000))
      << "elapsed time does not count";

  QTest::qWait(1500);
  QTest::mouseClick(start, Qt::LeftButton);  // pause
  const QString pausedAt = duration->text();
  QTest::qWait(2000);
  EXPECT_EQ(duration->text(), pausedAt) << "time counts while paused";
  QTest::mouseClick(start, Qt::LeftButton);  // resume
  QTest::qWait(1500);
  QTest::mouseClick(stop, Qt::LeftButton);
  tone.kill();
  tone.waitForFinished();

  EXPECT_FALSE(window.IsRecording());
  EXPECT_FALSE(stop->isEnabled());
  EXPECT_EQ(duration->text(), "00:00:00");
  EXPECT_FALSE(StatusBar()->isVisible());

  const QStringList files = Recordings();
  ASSERT_EQ(files.size(), 1);
  EXPECT_TRUE(QRegExp("\\d{8}_\\d{6}\\.mp4").exactMatch(files.front()));
  const auto probe = testsupport::ProbeMedia(m_dir.path() + "/" + files.front().toStdString());
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  ASSERT_NE(probe.Audio(), nullptr);
  EXPECT_EQ(probe.Video()->codec, "h264");
  EXPECT_EQ(probe.Audio()->codec, "aac");
  EXPECT_EQ(probe.Video()->width, 720);
  EXPECT_EQ(probe.Video()->height, 480);
  // About 3 s recorded; the 2 s pause is left out.
  EXPECT_GT(probe.duration, 2.0);
  EXPECT_LT(probe.duration, 4.8);
  EXPECT_GT(probe.Audio()->audioRms, 0.01) << "the tone is missing";
}

TEST_F(RecordingControlTest, FolderThatCannotBeMadeShowsItsMessage) {
  Settings::Instance()->SetGeneralFilesaveurl("/dev/null/recordings");
  MainWindow window;
  window.show();
  MessageCatcher catcher;
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !catcher.texts().isEmpty(); }, 3000));
  EXPECT_TRUE(catcher.texts().contains(QStringLiteral("文件存储路径不存在！")));
  EXPECT_FALSE(window.IsRecording());
}

TEST_F(RecordingControlTest, TooLittleFreeSpaceRefusesToStart) {
  SetFreeDiskBytesSource([](const QString&) { return int64_t{10485759}; });
  MainWindow window;
  window.show();
  MessageCatcher catcher;
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !catcher.texts().isEmpty(); }, 3000));
  EXPECT_TRUE(catcher.texts().contains(QStringLiteral("磁盘空间不足10M，请清理磁盘!")));
  EXPECT_FALSE(window.IsRecording());
  EXPECT_TRUE(Recordings().isEmpty());

  // Exactly 10 MiB is enough.
  SetFreeDiskBytesSource([](const QString&) { return int64_t{10485760}; });
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  EXPECT_TRUE(window.IsRecording());
  QTest::qWait(1000);
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton_stop"), Qt::LeftButton);
  EXPECT_EQ(Recordings().size(), 1);
  SetFreeDiskBytesSource(nullptr);
}

TEST_F(RecordingControlTest, FailedStartShowsItsMessageAndLeavesNoFile) {
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& audio = platform::fake::FakeAudioEndpoints::Instance();
  audio.Reset();
  audio.SetMixFormatResult(platform::Result::Failed);  // the speaker cannot be set up
  Settings::Instance()->SetRecordRecordaudio(0);
  {
    MainWindow window;
    window.show();
    MessageCatcher catcher;
    QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !catcher.texts().isEmpty(); }, 3000));
    EXPECT_TRUE(catcher.texts().contains(QStringLiteral("扬声器采集器初始化失败")))
        << catcher.texts().join(",").toStdString();
    EXPECT_FALSE(window.IsRecording());
    EXPECT_FALSE(window.findChild<QPushButton*>("pushButton_stop")->isEnabled());
    EXPECT_TRUE(Recordings().isEmpty()) << "a failed start left a file";
  }
  audio.Reset();
  platform::Backend::Use(platform::BackendKind::X11);
}

// The screen is lost for good (every re-open fails): the recording stops on
// its own, says so, and the file plays.
TEST_F(RecordingControlTest, ScreenLostForGoodStopsWithItsMessage) {
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& monitors = platform::fake::FakeMonitors::Instance();
  auto& screen = platform::fake::FakeScreen::Instance();
  monitors.SetMonitors({{1, {0, 0, 320, 240}, "small", true}});
  screen.Reset();
  screen.SetChangingScreen(true);
  Settings::Instance()->SetRecordRecordaudio(3);
  {
    MainWindow window;
    window.show();
    MessageCatcher catcher;
    QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    ASSERT_TRUE(window.IsRecording());
    QTest::qWait(1000);
    for (int i = 0; i < 100; ++i) screen.QueueOpen(platform::Result::Failed);
    screen.QueueAcquire({platform::Result::AccessLost, {}});
    ASSERT_TRUE(WaitFor([&] { return !catcher.texts().isEmpty(); }, 5000));
    EXPECT_EQ(catcher.texts(), QStringList{QStringLiteral("录制的屏幕或窗口已不可用，录制已停止")});
    EXPECT_FALSE(window.IsRecording());
  }
  screen.Reset();
  monitors.Reset();
  platform::Backend::Use(platform::BackendKind::X11);
  const QStringList files = Recordings();
  ASSERT_EQ(files.size(), 1);
  const auto probe = testsupport::ProbeMedia(m_dir.path() + "/" + files.front().toStdString());
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  EXPECT_GT(probe.Video()->decodedFrames, 5);
  EXPECT_EQ(probe.decodeErrors, 0);
}

// A file that cannot be written any more is reported from a worker thread:
// the recording stops on the GUI thread with a message of its own.
TEST_F(RecordingControlTest, WriteFailureStopsTheRecordingOnTheGuiThread) {
  Settings::Instance()->SetRecordRecordaudio(3);
  MainWindow window;
  window.show();
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  ASSERT_TRUE(window.IsRecording());
  QTest::qWait(1000);
  MessageCatcher catcher;
  std::thread worker([&] { window.OnRecorderNotify(kNotifyError, kRecordFailed); });
  worker.join();
  EXPECT_TRUE(window.IsRecording()) << "stopped on the reporting thread";
  ASSERT_TRUE(WaitFor([&] { return !catcher.texts().isEmpty(); }, 5000));
  EXPECT_EQ(catcher.texts(), QStringList{QStringLiteral("录制文件无法写入，录制已停止")});
  EXPECT_FALSE(window.IsRecording());
  const QStringList files = Recordings();
  ASSERT_EQ(files.size(), 1);
  const auto probe = testsupport::ProbeMedia(m_dir.path() + "/" + files.front().toStdString());
  EXPECT_TRUE(probe.opened);
  EXPECT_NE(probe.Video(), nullptr);
}

}  // namespace
