#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <mutex>
#include <cstdlib>

#include "e2e/e2esupport.h"
#include "platform/monitors.h"
#include "recorder/videocapture/dxgicapturer.h"
#include "support/mediaprobe.h"
#include "support/testsupport.h"

// The real program in a Wayland session: its windows on an X server standing
// in for XWayland, the screen from a scripted ScreenCast portal on a private
// session bus, whose casts are real PipeWire video nodes (a test picture).
namespace {

using namespace e2e;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
const QString kSize = QString("%1x%2").arg(kWidth).arg(kHeight);

bool HavePortalTools() {
  return QProcess::execute("sh", {"-c", "command -v pipewire && command -v wireplumber && "
                                        "gst-inspect-1.0 pipewiresink && /usr/bin/python3 -c "
                                        "'from gi.repository import Gio'"}) == 0;
}

class WaylandSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay() || !HavePortalTools())
      GTEST_SKIP() << "needs the test display, PipeWire and GStreamer's pipewiresink";
    ASSERT_FALSE(m_xvfb.display().empty());
    m_home = QString::fromStdString(m_dir.path());
    m_out = m_home + "/out";
    ASSERT_TRUE(WaitFor([] { return !InstanceRunning(); }, 5000)) << RunningCopies();
  }

  void TearDown() override {
    StopProgram();
    if (m_portal.state() != QProcess::NotRunning) {
      m_portal.terminate();
      if (!m_portal.waitForFinished(10000)) m_portal.kill();
    }
  }

  void StartPortal(const QStringList& extra = {}) {
    const QString run = m_home + "/desktop";
    QDir().mkpath(run);
    m_portal.setProcessChannelMode(QProcess::ForwardedChannels);
    m_portal.start("/usr/bin/python3",
                   QStringList{KORVOREC_SOURCE_DIR "/tests/wayland/screencast_portal.py", run,
                               "--size", kSize} +
                       extra);
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(run + "/ready"); })) << "no portal";
    QFile ready(run + "/ready");
    ASSERT_TRUE(ready.open(QIODevice::ReadOnly));
    m_bus = QString::fromUtf8(ready.readLine()).trimmed();
  }

  // The calls the portal was asked, in order.
  std::vector<QJsonObject> Calls() {
    std::vector<QJsonObject> calls;
    QFile file(m_home + "/desktop/calls");
    if (!file.open(QIODevice::ReadOnly)) return calls;
    while (!file.atEnd()) calls.push_back(QJsonDocument::fromJson(file.readLine()).object());
    return calls;
  }

  std::vector<QJsonObject> Starts() {
    std::vector<QJsonObject> starts;
    for (const QJsonObject& call : Calls())
      if (call["call"] == "Start") starts.push_back(call);
    return starts;
  }

  QString Log() {
    QFile log(m_home + "/.local/share/ScreenRecorder/log/sr.INFO");
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
  }

  QString Settings() {
    QFile conf(m_home + "/.config/Korvo/screenrecorder.conf");
    return conf.open(QIODevice::ReadOnly) ? QString::fromUtf8(conf.readAll()) : QString();
  }

  QString Xdotool(const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", QString::fromStdString(m_xvfb.display()));
    p.setProcessEnvironment(env);
    p.start("xdotool", args);
    p.waitForFinished(15000);
    return QString::fromUtf8(p.readAllStandardOutput());
  }

  // x, y, width, height of the first visible window named name.
  QList<int> Geometry(const QString& name) {
    const QString id = Xdotool({"search", "--sync", "--onlyvisible", "--name", name}).section('\n', 0, 0);
    QList<int> g;
    for (const QString& line : Xdotool({"getwindowgeometry", "--shell", id}).split('\n'))
      if (line.startsWith("X=") || line.startsWith("Y=") || line.startsWith("WIDTH=") ||
          line.startsWith("HEIGHT="))
        g << line.section('=', 1).toInt();
    return g;
  }

  void Click(int x, int y) {
    Xdotool({"mousemove", QString::number(x), QString::number(y), "click", "1"});
  }

  // A message box's one button.
  void ConfirmMessage() {
    const QList<int> box = Geometry("^Dialog$");
    ASSERT_EQ(box.size(), 4);
    Click(box[0] + box[2] / 2, box[1] + box[3] - 41);
    QThread::msleep(300);
  }

  // The program as a Wayland session starts it, its notice confirmed;
  // recordType is the recording mode of a first start.
  void StartProgram(int recordType = 0) {
    QDir().mkpath(m_home + "/.config/Korvo");
    if (!QFile::exists(m_home + "/.config/Korvo/screenrecorder.conf")) {
      QFile conf(m_home + "/.config/Korvo/screenrecorder.conf");
      ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
      conf.write(QString("[%General]\nfilesaveurl=%1\nrecord_status_bar=false\n[record]\n"
                         "recordtype=%2\nrecordaudio=0\nrecordresolution=0\nvideoframerate=20\n")
                     .arg(m_out)
                     .arg(recordType)
                     .toUtf8());
    }
    QProcessEnvironment env = EnvironmentWithHome(m_home);
    env.insert("DISPLAY", QString::fromStdString(m_xvfb.display()));
    env.insert("XDG_SESSION_TYPE", "wayland");
    env.insert("WAYLAND_DISPLAY", "wayland-test");
    env.insert("DBUS_SESSION_BUS_ADDRESS", m_bus);
    env.remove("QT_QPA_PLATFORM");
    m_program.setProcessEnvironment(env);
    m_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_program.start(QString::fromStdString(testsupport::BuildDir()) + "/korvorec", QStringList());
    ASSERT_TRUE(m_program.waitForStarted(5000));
    m_main = Geometry("^Korvo");
    ASSERT_EQ(m_main.size(), 4) << "main window never shown";
    ASSERT_NO_FATAL_FAILURE(ConfirmMessage());
  }

  void StopProgram() {
    if (m_program.state() == QProcess::NotRunning) return;
    m_program.terminate();
    if (!m_program.waitForFinished(15000)) m_program.kill();
    m_program.waitForFinished(5000);
    WaitFor([] { return !InstanceRunning(); }, 5000);
  }

  // The record page's buttons (the page lies right of the 130-pixel sidebar,
  // 60 pixels below the top).
  void ClickStart() { Click(m_main[0] + 130 + 45, m_main[1] + 60 + 478); }
  void ClickStop() { Click(m_main[0] + 130 + 110, m_main[1] + 60 + 508); }

  QStringList Recordings() { return QDir(m_out).entryList({"*.mp4"}, QDir::Files); }

  // The node's picture: the same test source, one frame.
  void NodePicture(int width, int height, QByteArray* picture) {
    const QString reference = m_home + "/reference.bgrx";
    ASSERT_EQ(QProcess::execute("gst-launch-1.0",
                                {"-q", "videotestsrc", "num-buffers=1", "pattern=smpte", "!",
                                 QString("video/x-raw,format=BGRx,width=%1,height=%2")
                                     .arg(width)
                                     .arg(height),
                                 "!", "filesink", "location=" + reference}),
              0);
    QFile ref(reference);
    ASSERT_TRUE(ref.open(QIODevice::ReadOnly));
    *picture = ref.readAll();
    ASSERT_EQ(picture->size(), width * height * 4);
  }

  // The recording, read back: an ordinary MP4 whose every picture decodes,
  // sized as the cast (kWidth x kHeight unless said), and showing the cast's
  // picture, whose noise (its lower band) changes from picture to picture:
  // the node marks no changes, so none may be taken as unchanged.
  void JudgeRecording(const QString& name, testsupport::MediaProbe* probe, int castWidth = kWidth,
                      int castHeight = kHeight) {
    QByteArray node;
    ASSERT_NO_FATAL_FAILURE(NodePicture(castWidth, castHeight, &node));
    int judged = 0, matching = 0;
    QSet<uint> noises;
    *probe = testsupport::ProbeMedia(
        (m_out + "/" + name).toStdString(),
        [&](const uint8_t* bgra, int width, int height, double) {
          if (width != castWidth || height != castHeight) return;
          ++judged;
          const int band = height * 15 / 16;
          noises.insert(qHash(QByteArray::fromRawData(
              reinterpret_cast<const char*>(bgra) + size_t(band) * width * 4,
              (height - band) * width * 4)));
          // The colour bars (the lower band's noise changes with each picture).
          int worst = 0;
          for (int bar = 0; bar < 7; ++bar)
            for (int row = 1; row <= 5; ++row) {
              const int x = (2 * bar + 1) * width / 14, y = row * height / 10;
              for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(int(bgra[(y * width + x) * 4 + c]) -
                                                 int(uint8_t(node[(y * width + x) * 4 + c]))));
            }
          if (worst <= 24) ++matching;
        });
    ASSERT_TRUE(probe->opened);
    EXPECT_TRUE(probe->ordinary);
    EXPECT_EQ(probe->decodeErrors, 0);
    ASSERT_NE(probe->Video(), nullptr);
    EXPECT_EQ(probe->Video()->width, castWidth);
    EXPECT_EQ(probe->Video()->height, castHeight);
    EXPECT_GT(judged, 0);
    EXPECT_EQ(matching, judged) << "pictures unlike the cast's";
    // The writer may hold a picture over a slot; most are new.
    EXPECT_GT(int(noises.size()), judged / 2) << "pictures frozen but for the colour bars";
  }

  testsupport::OwnXvfb m_xvfb{"1280x720x24"};
  testsupport::TempDir m_dir;
  QString m_home;
  QString m_out;
  QString m_bus;
  QProcess m_portal;
  ChildProcess m_program;
  QList<int> m_main;
};

// The first recording asks through the portal's dialog; the token it gives
// is kept in the settings, so that the next start of the program records
// without asking. Both files show the cast's picture.
TEST_F(WaylandSession, RecordsTheCastAndAsksOnlyOnce) {
  ASSERT_NO_FATAL_FAILURE(StartPortal());
  ASSERT_NO_FATAL_FAILURE(StartProgram());
  EXPECT_TRUE(Log().contains("told the user: Wayland 会话：屏幕经桌面共享录制，"));
  for (int run = 0; run < 2; ++run) {
    if (run == 1) {
      StopProgram();
      ASSERT_NO_FATAL_FAILURE(StartProgram());
    }
    ClickStart();
    ASSERT_TRUE(WaitFor([&] { return Recordings().size() == run + 1; })) << "no recording";
    QThread::msleep(3000);
    ClickStop();
    ASSERT_TRUE(WaitFor([&] { return Log().count("EXITS RECORDING") == 1; }));
  }
  const auto starts = Starts();
  ASSERT_GE(starts.size(), 2u);
  EXPECT_TRUE(starts.front()["dialog"].toBool());
  for (size_t i = 1; i < starts.size(); ++i) EXPECT_FALSE(starts[i]["dialog"].toBool()) << i;
  for (const QJsonObject& call : Calls())
    if (call["call"] == "SelectSources") {
      EXPECT_EQ(call["persist_mode"].toInt(), 2);
      EXPECT_EQ(call["types"].toInt(), 1);
    }
  EXPECT_TRUE(Settings().contains("screencast_token=kept-"));
  StopProgram();
  for (const QString& name : Recordings()) {
    testsupport::MediaProbe probe;
    ASSERT_NO_FATAL_FAILURE(JudgeRecording(name, &probe));
    EXPECT_GT(probe.duration, 2.0);
    EXPECT_GE(probe.Video()->decodedFrames, 20);
  }
}

// The user refuses the portal's dialog: no recording starts, the program
// says the screen capture could not start, and it is not asked again.
TEST_F(WaylandSession, ARefusedDialogStartsNoRecording) {
  ASSERT_NO_FATAL_FAILURE(StartPortal({"--refuse"}));
  ASSERT_NO_FATAL_FAILURE(StartProgram());
  ClickStart();
  ASSERT_TRUE(WaitFor([&] { return Log().contains("the screen cast was refused"); }));
  ASSERT_NO_FATAL_FAILURE(ConfirmMessage());
  EXPECT_TRUE(Recordings().isEmpty());
  EXPECT_EQ(Starts().size(), 1u);
  EXPECT_EQ(m_program.state(), QProcess::Running);
  EXPECT_FALSE(Settings().contains("screencast_token"));
}

// The desktop ends the cast mid-recording (the user stops sharing): the
// recording ends as a lost capture, its file finished and playable, and the
// cast is not silently asked for again.
TEST_F(WaylandSession, ACastEndingMidRecordingFinishesTheFile) {
  ASSERT_NO_FATAL_FAILURE(StartPortal());
  ASSERT_NO_FATAL_FAILURE(StartProgram());
  ClickStart();
  ASSERT_TRUE(WaitFor([&] { return Recordings().size() == 1; })) << "no recording";
  QThread::msleep(3000);
  ::kill(m_portal.processId(), SIGUSR1);
  ASSERT_TRUE(WaitFor([&] { return Log().contains("EXITS RECORDING"); }));
  EXPECT_TRUE(Log().contains("the screen cast of screen ended"));
  ASSERT_NO_FATAL_FAILURE(ConfirmMessage());  // the screen or window is gone
  const size_t starts = Starts().size();
  StopProgram();
  EXPECT_EQ(Starts().size(), starts);
  testsupport::MediaProbe probe;
  ASSERT_EQ(Recordings().size(), 1);
  ASSERT_NO_FATAL_FAILURE(JudgeRecording(Recordings().front(), &probe));
  EXPECT_GT(probe.duration, 2.0);
}

// A desktop that marks what changed in each picture (a ball moving over a
// still backdrop): only that is converted, and every recorded picture is
// still the cast's whole, one ball on the backdrop with no trail and no
// part left unconverted.
TEST_F(WaylandSession, OnlyWhatTheDesktopMarksChangedIsConverted) {
  ASSERT_NO_FATAL_FAILURE(
      StartPortal({"--scene", QString::fromStdString(testsupport::BuildDir()) + "/castscene"}));
  ASSERT_NO_FATAL_FAILURE(StartProgram());
  ClickStart();
  ASSERT_TRUE(WaitFor([&] { return Recordings().size() == 1; })) << "no recording";
  QThread::msleep(3000);
  ClickStop();
  ASSERT_TRUE(WaitFor([&] { return Log().contains("EXITS RECORDING"); }));
  StopProgram();
  // The backdrop is BGR 80 60 40, the ball near white, 64 pixels across;
  // a part left unconverted shows a cut ball.
  int judged = 0, whole = 0;
  const testsupport::MediaProbe probe = testsupport::ProbeMedia(
      (m_out + "/" + Recordings().front()).toStdString(),
      [&](const uint8_t* bgra, int width, int height, double) {
        ++judged;
        int left = width, top = height, right = -1, bottom = -1, ball = 0, other = 0;
        for (int y = 0; y < height; ++y)
          for (int x = 0; x < width; ++x) {
            const uint8_t* p = bgra + (size_t(y) * width + x) * 4;
            const int off = std::max({std::abs(p[0] - 0x80), std::abs(p[1] - 0x60),
                                      std::abs(p[2] - 0x40)});
            if (off <= 24) continue;
            if (p[0] > 200 && p[1] > 200 && p[2] > 200) ++ball;
            else ++other;
            left = std::min(left, x), right = std::max(right, x);
            top = std::min(top, y), bottom = std::max(bottom, y);
          }
        // The whole ball (3228 pixels), and nothing else but edges softened
        // by the encoding.
        const int w = right - left + 1, h = bottom - top + 1;
        if (ball >= 3150 && other < 100 && w >= 63 && w <= 66 && h >= 63 && h <= 66) ++whole;
      });
  ASSERT_TRUE(probe.opened);
  EXPECT_EQ(probe.decodeErrors, 0);
  EXPECT_GE(judged, 40);
  EXPECT_EQ(whole, judged) << "pictures that are not one ball on the backdrop";
}

// Where the desktop casts windows, window mode asks its dialog for one (no
// token given or kept) instead of opening our list of X11 windows, and
// records that window's cast at its size (odd sides made even, as for X11
// windows). The window going ends the recording as a lost capture, its file
// finished and playable.
TEST_F(WaylandSession, WindowModeRecordsTheWindowTheDesktopPicks) {
  ASSERT_NO_FATAL_FAILURE(StartPortal({"--window-size", "801x451"}));
  ASSERT_NO_FATAL_FAILURE(StartProgram(3));
  ClickStart();
  ASSERT_TRUE(WaitFor([&] { return Recordings().size() == 1; })) << "no recording";
  EXPECT_TRUE(Xdotool({"search", "--onlyvisible", "--name", "^Dialog$"}).trimmed().isEmpty())
      << "our window picker opened";
  QThread::msleep(3000);
  ::kill(m_portal.processId(), SIGUSR1);  // the window goes
  ASSERT_TRUE(WaitFor([&] { return Log().contains("EXITS RECORDING"); }));
  EXPECT_TRUE(Log().contains("the screen cast of the window ended"));
  ASSERT_NO_FATAL_FAILURE(ConfirmMessage());  // the screen or window is gone
  StopProgram();
  int selections = 0;
  for (const QJsonObject& call : Calls())
    if (call["call"] == "SelectSources") {
      ++selections;
      EXPECT_EQ(call["types"].toInt(), 2);
      EXPECT_EQ(call["cursor_mode"].toInt(), 4);
      EXPECT_EQ(call["persist_mode"].toInt(), 0);
      EXPECT_TRUE(call["restore_token"].isNull());
    }
  EXPECT_EQ(selections, 1);
  EXPECT_EQ(Starts().size(), 1u) << "the window was asked for again";
  EXPECT_FALSE(Settings().contains("screencast_token"));
  ASSERT_EQ(Recordings().size(), 1);
  testsupport::MediaProbe probe;
  ASSERT_NO_FATAL_FAILURE(JudgeRecording(Recordings().front(), &probe, 800, 450));
  EXPECT_GT(probe.duration, 2.0);
}

// The desktop offers global shortcuts: the hot keys are bound through its
// portal, and its activations start and stop the recording.
TEST_F(WaylandSession, HotKeysComeThroughTheDesktopsGlobalShortcuts) {
  ASSERT_NO_FATAL_FAILURE(StartPortal({"--shortcuts"}));
  ASSERT_NO_FATAL_FAILURE(StartProgram());
  EXPECT_FALSE(Log().contains(QStringLiteral("全局热键、"))) << "told that hot keys are missing";
  // The shortcuts of the last binding.
  auto bound = [&] {
    QJsonArray shortcuts;
    for (const QJsonObject& call : Calls())
      if (call["call"] == "BindShortcuts") shortcuts = call["shortcuts"].toArray();
    return shortcuts;
  };
  auto press = [&](const QString& id) {
    QFile file(m_home + "/desktop/press");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(id.toUtf8());
    file.close();
    ::kill(m_portal.processId(), SIGUSR2);
  };
  ASSERT_TRUE(WaitFor([&] { return bound().size() == 1; })) << "no hot key bound";
  EXPECT_EQ(bound()[0].toObject()["trigger"].toString(), "ALT+9");
  const QString startPause = bound()[0].toObject()["id"].toString();
  press(startPause);
  ASSERT_TRUE(WaitFor([&] { return Recordings().size() == 1; })) << "the hot key started nothing";
  // The stop key is held while recording.
  ASSERT_TRUE(WaitFor([&] { return bound().size() == 2; }));
  QString stop;
  for (const QJsonValue& shortcut : bound())
    if (shortcut.toObject()["id"].toString() != startPause) stop = shortcut.toObject()["id"].toString();
  QThread::msleep(2000);
  press(stop);
  ASSERT_TRUE(WaitFor([&] { return Log().contains("EXITS RECORDING"); })) << "not stopped";
  ASSERT_TRUE(WaitFor([&] { return bound().size() == 1; })) << "the stop key is still held";
}

// A region is a crop of its monitor's cast (here the test display's one
// monitor, cast at its size).
TEST_F(WaylandSession, ARegionIsACropOfTheMonitorsCast) {
  const std::vector<platform::MonitorInfo> monitors = platform::GetMonitors().List();
  ASSERT_FALSE(monitors.empty());
  const platform::MonitorInfo monitor = monitors.front();
  const int width = monitor.rect.Width(), height = monitor.rect.Height();
  ASSERT_NO_FATAL_FAILURE(StartPortal({"--size", QString("%1x%2").arg(width).arg(height)}));
  QByteArray node;
  ASSERT_NO_FATAL_FAILURE(NodePicture(width, height, &node));
  setenv("DBUS_SESSION_BUS_ADDRESS", m_bus.toUtf8().constData(), 1);
  platform::Backend::Use(platform::BackendKind::Wayland);

  const platform::Rect region{monitor.rect.left + 300, monitor.rect.top + 200,
                              monitor.rect.left + 940, monitor.rect.top + 560};
  CaptureParams params;
  params.mode = RecordMode::Region;
  params.frameRate = 20;
  params.monitor = monitor.id;
  params.region = region;
  DXGICapturer capturer;
  ASSERT_TRUE(capturer.Init(params));
  std::mutex mutex;
  QByteArray frame;
  capturer.SetCallbacks(
      [&](AVFrame* f) {
        std::lock_guard<std::mutex> lock(mutex);
        if (f->width == region.Width() && f->height == region.Height())
          frame = QByteArray(reinterpret_cast<const char*>(f->data[0]),
                             f->linesize[0] * f->height);
      },
      [](RecordError) {});
  ASSERT_EQ(capturer.Start(), 0);
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !frame.isEmpty();
  }));
  capturer.Stop();
  platform::Backend::Use(platform::BackendKind::X11);
  // Every 20th pixel of the crop's upper part (the bars) is the node's at
  // the region's place.
  int worst = 0;
  for (int y = 0; y < 200; y += 20)
    for (int x = 0; x < region.Width(); x += 20)
      for (int c = 0; c < 3; ++c) {
        const int sx = region.left - monitor.rect.left + x, sy = region.top - monitor.rect.top + y;
        worst = std::max(worst, std::abs(int(uint8_t(frame[(y * region.Width() + x) * 4 + c])) -
                                         int(uint8_t(node[(sy * width + sx) * 4 + c]))));
      }
  EXPECT_EQ(worst, 0);
}

}  // namespace
