#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/backend.h"
#include "platform/fake/fake_monitors.h"
#include "platform/monitors.h"
#include "recorder/recorder.h"
#include "settings.h"
#include "recorder/audiodevices.h"
#include "support/audiotools.h"
#include "support/mediaprobe.h"
#include "support/testsupport.h"

namespace {

const QColor kPatch(30, 200, 60);    // the still colour patch
const QColor kRing(255, 0, 255);     // the pointer highlight

// Left half: a still colour patch. Right top: black, where the pointer
// rests. Right bottom: a white bar moving over black.
class PaintedWindow : public QWidget {
 public:
  PaintedWindow()
      : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                             Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(&m_timer, &QTimer::timeout, this, [this] {
      m_phase = (m_phase + 8) % width();
      update();
    });
    m_timer.start(33);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.fillRect(0, 0, width() / 2, height(), kPatch);
    painter.fillRect(width() / 2 + (m_phase % (width() / 2)), height() / 2, 20, height() / 2,
                     Qt::white);
  }

 private:
  QTimer m_timer;
  int m_phase = 0;
};

// Called from the engine's threads.
class Observer : public RecorderObserver {
 public:
  void OnRecorderNotify(NotifyType type, RecordError code) override {
    ++calls;
    if (type == kNotifySoundSourceLost)
      lostSource = code;
    else
      ++errors;
  }
  std::atomic<int> calls{0};
  std::atomic<int> errors{0};
  std::atomic<int> lostSource{0};
};

// Plays a tone into a sink for the whole test, with the short buffer of a
// desktop player.
class Tone {
 public:
  Tone(const std::string& folder, const char* sink, double frequency) {
    const QString wav = QString::fromStdString(folder) + "/tone" + sink + QString::number(frequency) + ".wav";
    if (!QFile::exists(wav))
      QProcess::execute("sox", {"-n", "-r", "48000", "-c", "2", wav, "synth", "30", "sine",
                                QString::number(frequency), "vol", "0.5"});
    m_player.start("paplay", {QString("--device=") + sink, "--latency-msec=50", wav});
    m_player.waitForStarted();
  }
  ~Tone() {
    m_player.kill();
    m_player.waitForFinished();
  }

 private:
  QProcess m_player;
};

void Pump(double seconds) {
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  while (std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// The amplitude of a tone in the file's sound between two times (s), over
// tenths of a second: the mix may stretch a source by a fraction of a
// percent as it follows its clock.
double ToneIn(const testsupport::StreamProbe& sound, double from, double to, double hz) {
  double sum = 0;
  int parts = 0;
  for (size_t a = size_t(from * 48000); a + 4800 <= size_t(to * 48000) && a + 4800 <= sound.sound.size();
       a += 4800, ++parts)
    sum += testsupport::ToneAmplitude(std::vector<float>(sound.sound.begin() + a, sound.sound.begin() + a + 4800),
                                      1, 48000, hz);
  return parts ? sum / parts : 0.0;
}

// Reads a recording back; biggestGap gets the longest time between two
// pictures.
testsupport::MediaProbe ProbeWithGaps(const std::string& path, double* biggestGap) {
  double last = -1.0;
  *biggestGap = 0.0;
  return testsupport::ProbeMedia(path, [&](const uint8_t*, int, int, double t) {
    if (last >= 0.0) *biggestGap = std::max(*biggestGap, t - last);
    last = t;
  });
}

// The sound in the file lasts as long as the file.
double SoundSeconds(const testsupport::StreamProbe& sound) { return sound.sound.size() / 48000.0; }

bool Near(const uint8_t* bgra, const QColor& c, int tolerance) {
  return std::abs(bgra[2] - c.red()) <= tolerance && std::abs(bgra[1] - c.green()) <= tolerance &&
         std::abs(bgra[0] - c.blue()) <= tolerance;
}

class RecorderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "recorder_test";
    static char* argv[] = {name, nullptr};
    if (testsupport::HaveDisplay()) s_app = new QApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete s_app;
    s_app = nullptr;
  }

  void SetUp() override {
    if (!testsupport::HaveDisplay() || !testsupport::HavePulse())
      GTEST_SKIP() << "needs the display and the sound server";
    platform::Backend::Use(platform::BackendKind::X11);
    ASSERT_TRUE(Settings::Instance()->Init());
    Settings* s = Settings::Instance();
    s->SetGeneralFilesaveurl(QString::fromStdString(m_dir.path()));
    s->SetRecordVideoframerate(30);
    s->SetRecordAudiofrequency(48000);
    s->SetRecordAudiobitrate(128);
    s->SetRecordRecordresolution(0);
    s->SetRecordFilesegment(0);
    s->SetRecordSpeakerUnique("");
    s->SetRecordMicUnique("");
    s->SetWatermarkText("");
    s->SetGeneralRecordmouse(true);
    s->SetKeymouseMouseColor(kRing);
    s->SetKeymouseHaloDiameter(40);
    m_window.setGeometry(100, 100, 640, 360);
    m_window.show();
    Pump(0.5);
  }

  // Written settings are flushed now: the store's own flush at process exit
  // runs after the text codecs are gone.
  void TearDown() override { Settings::Instance()->GetGeneralFilesaveurl(); }

  RecordParams Params(const std::string& name, bool highlight) {
    RecordParams p;
    p.mode = RecordMode::Region;
    p.monitor = 0;
    p.region = platform::Rect{100, 100, 740, 460};
    p.outputPath = m_dir.path() + "/" + name;
    p.qp = 28;
    p.highlight = highlight;
    return p;
  }

  static QApplication* s_app;
  testsupport::TempDir m_dir;
  PaintedWindow m_window;
};

QApplication* RecorderTest::s_app = nullptr;

// Five seconds of a region with loopback sound and the pointer highlight.
TEST_F(RecorderTest, RegionWithSoundColourAndPointerRing) {
  Settings::Instance()->SetRecordRecordaudio(0);
  Tone tone(m_dir.path(), "spk", 1000);
  // The pointer rests over black, 60 pixels right and 60 down in the
  // right half of the region.
  QCursor::setPos(100 + 480, 100 + 60);
  Pump(0.3);

  Recorder recorder;
  Observer observer;
  ASSERT_TRUE(recorder.CreateMuxer());
  recorder.AddObserver(&observer);
  const RecordParams params = Params("region.mp4", true);
  ASSERT_EQ(recorder.Start(params), 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(recorder.IsRecording());
  Pump(5.0);
  const auto stopping = std::chrono::steady_clock::now();
  recorder.Stop();
  EXPECT_EQ(observer.calls, 0);
  const double recorded = Seconds(started, stopping);

  int patchFrames = 0;
  int ringFrames = 0;
  int pictures = 0;
  const testsupport::MediaProbe probe = testsupport::ProbeMedia(
      params.outputPath, [&](const uint8_t* bgra, int width, int height, double) {
        ++pictures;
        if (Near(bgra + (size_t(height / 2) * width + width / 4) * 4, kPatch, 16)) ++patchFrames;
        // Ring pixels near the pointer.
        int ring = 0;
        for (int y = 20; y < 100 && y < height; ++y)
          for (int x = 440; x < 520 && x < width; ++x)
            if (Near(bgra + (size_t(y) * width + x) * 4, kRing, 60)) ++ring;
        if (ring > 20) ++ringFrames;
      });
  ASSERT_TRUE(probe.opened);
  printf("recorded %.3f s, file %.3f s, %d pictures, rms %.3f, patch %d, ring %d, audio %.3f-%.3f, video %.3f-%.3f\n",
         recorded, probe.duration, pictures, probe.Audio() ? probe.Audio()->audioRms : 0.0,
         patchFrames, ringFrames, probe.Audio() ? probe.Audio()->firstPts : 0.0,
         probe.Audio() ? probe.Audio()->lastPts : 0.0, probe.Video() ? probe.Video()->firstPts : 0.0,
         probe.Video() ? probe.Video()->lastPts : 0.0);
  ASSERT_EQ(probe.streams.size(), 2u);
  ASSERT_NE(probe.Video(), nullptr);
  ASSERT_NE(probe.Audio(), nullptr);
  EXPECT_EQ(probe.Video()->codec, "h264");
  EXPECT_EQ(probe.Video()->width, 640);
  EXPECT_EQ(probe.Video()->height, 360);
  EXPECT_NEAR(probe.duration, recorded, recorded * 0.05);
  EXPECT_GE(probe.Video()->decodedFrames, static_cast<int64_t>(30 * recorded * 0.85));
  EXPECT_LE(probe.Video()->decodedFrames, static_cast<int64_t>(30 * recorded * 1.15));
  EXPECT_GT(probe.Audio()->audioRms, 0.05);
  // Both streams run from the start to the end of the recording (this is
  // the process's first).
  EXPECT_NEAR(probe.Audio()->lastPts, probe.Video()->lastPts, 0.1);
  EXPECT_NEAR(SoundSeconds(*probe.Audio()), probe.duration, 0.1);
  EXPECT_GT(patchFrames, pictures * 9 / 10);
  EXPECT_GT(ringFrames, pictures / 2);
  EXPECT_EQ(probe.decodeErrors, 0);
  EXPECT_TRUE(probe.ordinary);
}

// A still screen with a tone, the pointer away: the file starts at the
// start, with its first picture, and its sound is heard in every half second
// of it, however long the screen shows no change (from 1 s on: a loaded
// sound server may take several hundred milliseconds to deliver its first
// sound).
TEST_F(RecorderTest, SoundOfAStillScreenIsKeptFromTheStart) {
  Settings::Instance()->SetRecordRecordaudio(0);
  m_window.hide();
  QCursor::setPos(1900, 1070);
  Tone tone(m_dir.path(), "spk", 1000);
  Pump(0.5);
  Recorder recorder;
  ASSERT_TRUE(recorder.CreateMuxer());
  const RecordParams params = Params("still.mp4", false);
  ASSERT_EQ(recorder.Start(params), 0);
  Pump(5.0);
  recorder.Stop();

  const testsupport::MediaProbe probe = testsupport::ProbeMedia(params.outputPath);
  ASSERT_NE(probe.Video(), nullptr);
  ASSERT_NE(probe.Audio(), nullptr);
  const testsupport::StreamProbe& sound = *probe.Audio();
  printf("file %.3f s, %lld pictures, sound %.3f s from %.3f\n", probe.duration,
         static_cast<long long>(probe.Video()->packets), SoundSeconds(sound), sound.soundStart);
  EXPECT_EQ(probe.Video()->firstPts, 0.0);
  EXPECT_GT(probe.duration, 4.9);
  EXPECT_NEAR(SoundSeconds(sound), probe.duration, 0.1);
  for (int half = 2; half * 0.5 + 0.5 < SoundSeconds(sound); ++half)
    EXPECT_GT(ToneIn(sound, half * 0.5, half * 0.5 + 0.5001, 1000), 0.1) << half * 0.5;
}

// Speaker and microphone mixed, with a two-second pause: the pause is not in
// the file and both streams stay in order without a hole.
TEST_F(RecorderTest, PauseIsLeftOutOfBothMixedStreams) {
  Settings::Instance()->SetRecordRecordaudio(2);
  Tone speaker(m_dir.path(), "spk", 1000);
  Tone microphone(m_dir.path(), "mic", 440);
  Recorder recorder;
  ASSERT_TRUE(recorder.CreateMuxer());
  const RecordParams params = Params("paused.mp4", false);
  ASSERT_EQ(recorder.Start(params), 0);
  const auto started = std::chrono::steady_clock::now();
  Pump(2.0);
  recorder.Resume();  // without a pause: nothing happens
  recorder.Pause();
  EXPECT_TRUE(recorder.IsPaused());
  const auto paused = std::chrono::steady_clock::now();
  Pump(2.0);
  const auto resumed = std::chrono::steady_clock::now();
  recorder.Resume();
  EXPECT_FALSE(recorder.IsPaused());
  Pump(2.0);
  const auto stopping = std::chrono::steady_clock::now();
  recorder.Stop();
  const double recorded = Seconds(started, stopping) - Seconds(paused, resumed);

  double biggestGap = 0.0;
  const testsupport::MediaProbe probe = ProbeWithGaps(params.outputPath, &biggestGap);
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  ASSERT_NE(probe.Audio(), nullptr);
  printf("recorded %.3f s, file %.3f s, largest picture gap %.3f s, audio ends %.3f, video ends %.3f\n",
         recorded, probe.duration, biggestGap, probe.Audio()->lastPts, probe.Video()->lastPts);
  EXPECT_NEAR(probe.duration, recorded, recorded * 0.05);
  EXPECT_TRUE(probe.Video()->dtsIncreasing);
  EXPECT_TRUE(probe.Audio()->dtsIncreasing);
  EXPECT_LT(biggestGap, 0.5);
  EXPECT_NEAR(probe.Audio()->lastPts, probe.Video()->lastPts, 0.1);
  EXPECT_NEAR(SoundSeconds(*probe.Audio()), probe.duration, 0.1);
  EXPECT_GT(probe.Audio()->audioRms, 0.05);
}

// Speaker and microphone; the speaker's sink goes away mid-recording and
// comes back. The observers hear of the loss while the recording goes on;
// the microphone is heard to the end, the speaker again once its device is
// back.
TEST_F(RecorderTest, ALostSpeakerLeavesTheMicrophoneToTheEnd) {
  Settings::Instance()->SetRecordRecordaudio(2);
  auto speaker = std::make_unique<Tone>(m_dir.path(), "spk", 1000);
  Tone microphone(m_dir.path(), "mic", 440);
  Pump(0.5);  // the players are playing
  Recorder recorder;
  Observer observer;
  recorder.AddObserver(&observer);
  ASSERT_TRUE(recorder.CreateMuxer());
  const RecordParams params = Params("lost.mp4", false);
  ASSERT_EQ(recorder.Start(params), 0);
  Pump(2.0);
  // Its player goes with it (the server would move the player to the
  // microphone's sink).
  speaker.reset();
  ASSERT_TRUE(testsupport::RemoveSink("spk"));
  Pump(2.0);
  const bool added = testsupport::AddSink("spk");
  speaker = std::make_unique<Tone>(m_dir.path(), "spk", 1000);
  Pump(3.0);
  EXPECT_TRUE(recorder.IsRecording());
  recorder.Stop();
  ASSERT_TRUE(added);
  EXPECT_EQ(observer.lostSource, kRecordSpeakerInitFailed);
  EXPECT_EQ(observer.errors, 0);

  const testsupport::MediaProbe probe = testsupport::ProbeMedia(params.outputPath);
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Audio(), nullptr);
  const testsupport::StreamProbe& sound = *probe.Audio();
  const double end = SoundSeconds(sound);
  printf("file %.3f s, sound %.3f s; mic %.3f %.3f %.3f, speaker %.3f %.3f %.3f\n", probe.duration, end,
         ToneIn(sound, 1.0, 1.5, 440), ToneIn(sound, 2.8, 3.5, 440), ToneIn(sound, end - 0.7, end - 0.2, 440),
         ToneIn(sound, 1.0, 1.5, 1000), ToneIn(sound, 2.8, 3.5, 1000), ToneIn(sound, end - 0.7, end - 0.2, 1000));
  EXPECT_NEAR(end, probe.duration, 0.1);
  for (double from : {1.0, 2.8, end - 0.7}) EXPECT_GT(ToneIn(sound, from, from + 0.5, 440), 0.1) << from;
  EXPECT_GT(ToneIn(sound, 1.0, 1.5, 1000), 0.1);
  EXPECT_LT(ToneIn(sound, 2.8, 3.5, 1000), 0.05);
  EXPECT_GT(ToneIn(sound, end - 0.7, end - 0.2, 1000), 0.1);
}

// The sound server restarts mid-recording: the picture goes on, the time
// without a server is silence, and both sources record from the new server.
TEST_F(RecorderTest, ASoundServerRestartIsBridgedWithSilence) {
  Settings::Instance()->SetRecordRecordaudio(2);
  auto speaker = std::make_unique<Tone>(m_dir.path(), "spk", 1000);
  auto microphone = std::make_unique<Tone>(m_dir.path(), "mic", 440);
  Pump(0.5);  // the players are playing
  Recorder recorder;
  ASSERT_TRUE(recorder.CreateMuxer());
  const RecordParams params = Params("restart.mp4", false);
  ASSERT_EQ(recorder.Start(params), 0);
  Pump(1.5);
  std::atomic<int> restarted{-1};
  std::thread restart([&] { restarted = testsupport::RestartSoundServer(); });
  while (restarted < 0) Pump(0.05);
  restart.join();
  ASSERT_EQ(restarted, 1);
  speaker = std::make_unique<Tone>(m_dir.path(), "spk", 1000);
  microphone = std::make_unique<Tone>(m_dir.path(), "mic", 440);
  Pump(3.0);
  recorder.Stop();

  // The lists are the new server's.
  std::vector<AudioDevice> speakers;
  ASSERT_EQ(GetRenderDevices(speakers), 0);
  EXPECT_TRUE(std::any_of(speakers.begin(), speakers.end(), [](const AudioDevice& d) { return d.id == "spk"; }));

  double biggestGap = 0.0;
  const testsupport::MediaProbe probe = ProbeWithGaps(params.outputPath, &biggestGap);
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Audio(), nullptr);
  const testsupport::StreamProbe& sound = *probe.Audio();
  const double end = SoundSeconds(sound);
  printf("file %.3f s, sound %.3f s, largest picture gap %.3f s; at the end mic %.3f, speaker %.3f\n",
         probe.duration, end, biggestGap, ToneIn(sound, end - 0.7, end - 0.2, 440),
         ToneIn(sound, end - 0.7, end - 0.2, 1000));
  EXPECT_LT(biggestGap, 0.5);
  EXPECT_NEAR(end, probe.duration, 0.1);
  EXPECT_TRUE(sound.dtsIncreasing);
  EXPECT_GT(ToneIn(sound, 0.5, 1.0, 440), 0.1);
  EXPECT_GT(ToneIn(sound, end - 0.7, end - 0.2, 440), 0.1);
  EXPECT_GT(ToneIn(sound, end - 0.7, end - 0.2, 1000), 0.1);
}

// The sound server hangs mid-recording: the stop still ends, with silence
// in the sources' place, and the file plays.
TEST_F(RecorderTest, AHungSoundServerDoesNotHoldTheStop) {
  Settings::Instance()->SetRecordRecordaudio(2);
  Tone speaker(m_dir.path(), "spk", 1000);
  Tone microphone(m_dir.path(), "mic", 440);
  Pump(0.5);
  Recorder recorder;
  ASSERT_TRUE(recorder.CreateMuxer());
  const RecordParams params = Params("hung.mp4", false);
  ASSERT_EQ(recorder.Start(params), 0);
  Pump(1.5);
  testsupport::HungSoundServer hung;
  ASSERT_TRUE(hung.Hung());
  Pump(1.0);
  // Not a measure, a guard: a stop that waits for the server for good
  // would hold the test.
  std::mutex mutex;
  std::condition_variable stopped;
  bool done = false;
  bool held = false;
  std::thread guard([&] {
    std::unique_lock<std::mutex> lock(mutex);
    held = !stopped.wait_for(lock, std::chrono::seconds(30), [&] { return done; });
    if (held) hung.Resume();
  });
  recorder.Stop();
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  stopped.notify_all();
  guard.join();
  hung.Resume();
  EXPECT_FALSE(held) << "the stop waited for the stopped server";

  const testsupport::MediaProbe probe = testsupport::ProbeMedia(params.outputPath);
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  ASSERT_NE(probe.Audio(), nullptr);
  EXPECT_EQ(probe.decodeErrors, 0);
  EXPECT_NEAR(SoundSeconds(*probe.Audio()), probe.duration, 0.1);
  // The tone before the hang: the start's own lead (a monitor's sound is
  // placed when it is heard) may take up to about half a second on a busy machine.
  EXPECT_GT(ToneIn(*probe.Audio(), 0.8, 1.4, 440), 0.1);
}

// Start's results for what the recorder was given.
TEST_F(RecorderTest, StartReportsEachFailingPart) {
  Settings::Instance()->SetRecordRecordaudio(3);
  {
    // An empty region: the screen capturer cannot start.
    Recorder recorder;
    recorder.CreateMuxer();
    RecordParams params = Params("empty.mp4", false);
    params.region = platform::Rect{100, 100, 100, 100};
    EXPECT_EQ(recorder.Start(params), 3);
    recorder.Stop();
  }
  {
    // The output folder is missing: the writer fails.
    Recorder recorder;
    recorder.CreateMuxer();
    RecordParams params = Params("none/x.mp4", false);
    EXPECT_EQ(recorder.Start(params), -1);
    EXPECT_FALSE(recorder.IsRecording());
    EXPECT_TRUE(recorder.GetOutputFiles().empty());
    recorder.Stop();
  }
  {
    // No sound: one video stream only; an odd region is recorded at an even size.
    Recorder recorder;
    recorder.CreateMuxer();
    RecordParams params = Params("mute.mp4", false);
    params.region = platform::Rect{100, 100, 421, 341};
    ASSERT_EQ(recorder.Start(params), 0);
    EXPECT_EQ(recorder.GetRecordParams().outputPath, params.outputPath);
    Pump(1.0);
    recorder.Stop();
    const testsupport::MediaProbe probe = testsupport::ProbeMedia(params.outputPath);
    ASSERT_TRUE(probe.opened);
    EXPECT_EQ(probe.streams.size(), 1u);
    ASSERT_NE(probe.Video(), nullptr);
    EXPECT_EQ(probe.Video()->width, 320);
    EXPECT_EQ(probe.Video()->height, 240);
  }
}

}  // namespace
