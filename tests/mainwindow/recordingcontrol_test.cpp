#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include "guitestenv.h"
#include "loadedlibraries.h"
#include "mainwindow/diskspace.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/recordstatusbar.h"
#include "platform/backend.h"
#include "../camera/camerafixtures.h"
#include "platform/fake/fake_audio_endpoints.h"
#include "platform/fake/fake_monitors.h"
#include "platform/fake/fake_screen_duplication.h"
#include "platform/fake/fake_session.h"
#include "recorder/video/videoencoderfactory.h"
#include "recorder/video/x264encoder.h"
#include "settings.h"
#include "settingsdialog/windowsnapshotdialog.h"
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

// Answers the next modal message box and returns its text; onShown looks
// around while the box is up.
class MessageCatcher {
 public:
  explicit MessageCatcher(std::function<void()> onShown = nullptr) {
    m_timer.setInterval(50);
    QObject::connect(&m_timer, &QTimer::timeout, [this, onShown] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      if (onShown) onShown();
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

// Acts on the next modal window once it is up.
void OnModal(std::function<void(QWidget*)> act) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, act] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !QTest::qWaitForWindowExposed(modal)) return;
    poll->stop();
    poll->deleteLater();
    act(modal);
  });
  poll->start(50);
}

QPushButton* ButtonWithText(QWidget* parent, const QString& text) {
  for (QPushButton* b : parent->findChildren<QPushButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

RecordStatusBar* StatusBar() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* bar = qobject_cast<RecordStatusBar*>(w)) return bar;
  return nullptr;
}

// The window's _NET_WM_STATE as xprop prints it.
QString WindowState(QWidget* w) {
  QProcess xprop;
  xprop.start("xprop", {"-id", QString::number(w->winId()), "_NET_WM_STATE"});
  xprop.waitForFinished();
  return QString::fromLatin1(xprop.readAllStandardOutput());
}

// 8-pixel black and white squares: a picture scaled by as little as a pixel
// blurs their edges.
class CheckerWindow : public QWidget {
 public:
  static bool White(int x, int y) { return (x / 8 + y / 8) % 2 == 1; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    for (int y = 0; y < height(); y += 8)
      for (int x = 0; x < width(); x += 8)
        painter.fillRect(x, y, 8, 8, White(x, y) ? Qt::white : Qt::black);
  }
};

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
    settings->SetRecordRecordtype(RecordMode::Monitor);
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
  // Kept out of the taskbar and the switcher, on top of the others.
  const QString state = WindowState(StatusBar());
  for (const char* flag : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER",
                           "_NET_WM_STATE_ABOVE"})
    EXPECT_TRUE(state.contains(flag)) << flag << " missing: " << state.toStdString();
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

// Idle, Shift+S reaches the window that has the keyboard (the toolkit's
// connection is another client than the hot keys'); a recording takes it
// to stop, and the stop gives it back.
TEST_F(RecordingControlTest, StopHotKeyIsHeldOnlyWhileRecording) {
  if (QProcess::execute("sh", {"-c", "command -v xdotool >/dev/null"}) != 0)
    GTEST_SKIP() << "needs xdotool";
  Settings::Instance()->SetRecordRecordaudio(3);
  Settings::Instance()->SetRecordStophotkey(Qt::ShiftModifier, Qt::Key_S);
  MainWindow window;
  window.show();
  QLineEdit other;
  other.show();
  auto typeShiftS = [&] {
    other.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&other));
    QProcess::execute("xdotool", {"key", "shift+s"});
  };

  typeShiftS();
  EXPECT_TRUE(WaitFor([&] { return other.text() == "S"; }, 3000)) << other.text().toStdString();
  QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  ASSERT_TRUE(window.IsRecording());
  typeShiftS();
  EXPECT_TRUE(WaitFor([&] { return !window.IsRecording(); }, 5000));
  EXPECT_EQ(other.text(), "S");
  typeShiftS();
  EXPECT_TRUE(WaitFor([&] { return other.text() == "SS"; }, 3000)) << other.text().toStdString();
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

// An encoder that fails part-way is reported from its thread: the recording
// stops with a message of its own, and what was encoded before plays.
TEST_F(RecordingControlTest, EncoderFailureStopsWithItsOwnMessage) {
  class FailingEncoder : public X264Encoder {
    void EncodeLoop() override {
      int pictures = 0;
      RunEncodeLoop([&](AVFrame* f, AVPacket* p) { return ++pictures > 10 ? -1 : Encode(f, p); });
    }
  };
  struct Restore {
    ~Restore() {
      videoencoderfactory::Substitute() = nullptr;
      platform::fake::FakeScreen::Instance().Reset();
      platform::fake::FakeMonitors::Instance().Reset();
      platform::Backend::Use(platform::BackendKind::X11);
    }
  } restore;
  platform::Backend::Use(platform::BackendKind::Fake);
  platform::fake::FakeMonitors::Instance().SetMonitors({{1, {0, 0, 320, 240}, "small", true}});
  auto& screen = platform::fake::FakeScreen::Instance();
  screen.Reset();
  screen.SetChangingScreen(true);
  Settings::Instance()->SetRecordRecordaudio(3);
  videoencoderfactory::Substitute() = [] { return new FailingEncoder(); };
  {
    MainWindow window;
    window.show();
    MessageCatcher catcher;
    QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    ASSERT_TRUE(window.IsRecording());
    ASSERT_TRUE(WaitFor([&] { return !catcher.texts().isEmpty(); }, 10000));
    EXPECT_EQ(catcher.texts(), QStringList{QStringLiteral("录制编码失败，录制已停止")});
    EXPECT_FALSE(window.IsRecording());
  }
  const QStringList files = Recordings();
  ASSERT_EQ(files.size(), 1);
  const auto probe = testsupport::ProbeMedia(m_dir.path() + "/" + files.front().toStdString());
  ASSERT_NE(probe.Video(), nullptr);
  EXPECT_GT(probe.Video()->decodedFrames, 5);
  EXPECT_EQ(probe.decodeErrors, 0);
}

// Region and window recordings started from the main window through their
// pickers; the files hold the chosen area at its own size. A window under
// the window manager's frame is recorded as its own area, pixel for pixel:
// an odd size loses its last column and row rather than being scaled.
TEST_F(RecordingControlTest, RegionAndWindowRecordingsKeepTheirPictureSize) {
  Settings* settings = Settings::Instance();
  settings->SetRecordRecordaudio(3);
  settings->SetRecordRecordresolution(0);  // the source's own size
  // The region chosen last time; the picker offers it again.
  settings->SetRecordRegionRect(QRect(QPoint(100, 150), QPoint(700, 550)));
  LoadCaptureLibrary(LoadedLibraries());
  ASSERT_TRUE(Settings::IsGlanceSupported());
  CheckerWindow target;
  target.setWindowTitle("target");
  target.setGeometry(1100, 300, 401, 301);
  target.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&target));
  int worst = -1;  // the largest difference of the window's last picture from the squares

  const auto record = [&](RecordMode mode, std::function<void(QWidget*)> pick) {
    testsupport::TempDir folder;
    settings->SetGeneralFilesaveurl(QString::fromStdString(folder.path()));
    settings->SetRecordRecordtype(mode);
    MainWindow window;
    window.show();
    OnModal(pick);
    QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    EXPECT_TRUE(window.IsRecording());
    QTest::qWait(1500);
    QTest::mouseClick(window.findChild<QPushButton*>("pushButton_stop"), Qt::LeftButton);
    const QStringList files = QDir(QString::fromStdString(folder.path())).entryList({"*.mp4"});
    if (files.size() != 1) return QSize();
    const auto probe = testsupport::ProbeMedia(
        folder.path() + "/" + files[0].toStdString(),
        [&](const uint8_t* bgra, int width, int height, double) {
          if (mode != RecordMode::Window) return;
          worst = 0;
          for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
              const int want = CheckerWindow::White(x, y) ? 255 : 0;
              worst = std::max(worst, std::abs(bgra[(size_t(y) * width + x) * 4 + 1] - want));
            }
        });
    const testsupport::StreamProbe* video = probe.Video();
    return video && video->decodedFrames > 0 ? QSize(video->width, video->height) : QSize();
  };

  // What the picker's outline encloses; the region frame lies outside it.
  EXPECT_EQ(record(RecordMode::Region, [](QWidget* picker) {
              QTest::mouseClick(ButtonWithText(picker, QStringLiteral("确定")), Qt::LeftButton);
            }),
            QSize(600, 400));
  EXPECT_EQ(record(RecordMode::Window, [&target](QWidget* picker) {
              auto* list = picker->findChild<QListWidget*>("listWidget");
              for (int i = 0; i < list->count(); ++i)
                if (list->item(i)->data(Qt::UserRole + 1).value<WindowInfo>().window ==
                    target.winId())
                  list->item(i)->setSelected(true);
              QTest::mouseClick(picker->findChild<QPushButton*>("pushButton"), Qt::LeftButton);
            }),
            QSize(400, 300));
  EXPECT_GE(worst, 0);
  EXPECT_LT(worst, 64) << "the window's picture is scaled";
}

// A segmented recording: the box that counts the files comes after the
// camera and the keep-awake are released.
TEST_F(RecordingControlTest, SegmentedStopCountsTheFilesOnceAllIsReleased) {
  using namespace platform::fake;
  platform::Backend::Use(platform::BackendKind::Fake);
  FakeMonitors::Instance().SetMonitors({{1, {0, 0, 640, 360}, "screen0", true}});
  FakeScreen& screen = FakeScreen::Instance();
  screen.Reset();
  screen.SetChangingScreen(true);
  std::mt19937 random(7);
  QTimer noise;  // a busy screen fills 1 MB segments quickly
  QObject::connect(&noise, &QTimer::timeout, [&] {
    std::vector<uint32_t> pixels(640 * 360);
    for (uint32_t& p : pixels) p = 0xFF000000 | (random() & 0xFFFFFF);
    screen.SetDesktop(640, 360, std::move(pixels));
  });
  noise.start(30);
  FakeCamera cam;
  cam.device = {"/dev/video5", "Desk Cam"};
  cam.formats = {camtest::Format(platform::CameraPixelFormat::I420, 320, 180)};
  cam.samples[0] = {camtest::ToI420(camtest::TestPicture(320, 180))};
  FakeCameras::Instance().SetCameras({cam});
  Settings* settings = Settings::Instance();
  settings->SetRecordRecordaudio(3);
  settings->SetRecordRecordresolution(0);
  settings->SetRecordFilesegment(2);  // by size
  settings->SetRecordFssize(1);
  settings->SetRecordCameraSwitch(true);
  settings->SetRecordCamera("/dev/video5", "Desk Cam");
  {
    MainWindow window;
    window.show();
    QTest::mouseClick(window.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    ASSERT_TRUE(window.IsRecording());
    ASSERT_TRUE(FakeSession::Instance().Awake());
    ASSERT_EQ(FakeCameras::Instance().RunningStreams(), 1);
    ASSERT_TRUE(WaitFor([&] { return Recordings().size() >= 3; }, 20000));
    bool awake = true;
    int cameras = -1;
    MessageCatcher catcher([&] {
      awake = FakeSession::Instance().Awake();
      cameras = FakeCameras::Instance().RunningStreams();
    });
    QTest::mouseClick(window.findChild<QPushButton*>("pushButton_stop"), Qt::LeftButton);
    EXPECT_EQ(catcher.texts(), QStringList{QStringLiteral("本次录制总共生成%1个文件")
                                               .arg(Recordings().size())});
    EXPECT_FALSE(awake) << "the machine was kept awake under the box";
    EXPECT_EQ(cameras, 0) << "the camera ran under the box";
  }
  settings->SetRecordFilesegment(0);
  settings->SetRecordCameraSwitch(false);
  FakeCameras::Instance().Reset();
  FakeMonitors::Instance().Reset();
  screen.Reset();
  platform::Backend::Use(platform::BackendKind::X11);
}

}  // namespace
