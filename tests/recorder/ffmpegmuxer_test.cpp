#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>
#include <set>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
}

#include "recorder/audiocapturer.h"
#include "recorder/ffmpegmuxer.h"
#include "recorder/mp4finalizer.h"
#include "recorder/recorder.h"
#include "recorder/scriptedsource.h"
#include "settings.h"
#include "support/audiotools.h"
#include "support/mediaprobe.h"
#include "support/testsupport.h"

namespace {

class Observer : public RecorderObserver {
 public:
  void OnRecorderNotify(NotifyType type, RecordError code) override {
    ++calls;
    lastType = type;
    lastCode = code;
  }
  std::atomic<int> calls{0};
  std::atomic<int> lastType{-1};
  std::atomic<int> lastCode{-1};
};

// An audio source fed by the test: packed float at 48 kHz.
class FedAudio : public AudioCapturer {
 public:
  explicit FedAudio(int channels) {
    m_channels = channels;
    m_sampleFormat = AV_SAMPLE_FMT_FLT;
    m_sampleRate = 48000;
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, channels);
    m_channelLayout = layout.u.mask;
  }
  int Init(const std::string&, const std::string&, int) override { return 0; }
  int Start() override { return 0; }
  int Pause() override { return 0; }
  int Resume() override { return 0; }
  int Stop() override { return 0; }
  AVRational GetTimeBase() override { return AVRational{1, 1000000}; }
  int64_t GetStartTime() override { return 0; }
  void Deliver(AVFrame* frame) {
    if (m_frameCallback) m_frameCallback(frame, m_index);
  }
};

// Every file of the folder, each listed once.
std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) files.insert(e.path().string());
  return files;
}

// Points frame at packed float samples at 48 kHz.
void SetFloatFrame(AVFrame* frame, float* pcm, int channels, int samples, int64_t pts) {
  frame->nb_samples = samples;
  frame->format = AV_SAMPLE_FMT_FLT;
  frame->sample_rate = 48000;
  av_channel_layout_uninit(&frame->ch_layout);
  av_channel_layout_default(&frame->ch_layout, channels);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  frame->channel_layout = frame->ch_layout.u.mask;  // still compared by the filters
  frame->channels = channels;
#pragma GCC diagnostic pop
  frame->pts = pts;
  av_samples_fill_arrays(frame->data, frame->linesize, reinterpret_cast<uint8_t*>(pcm), channels, samples,
                         AV_SAMPLE_FMT_FLT, 1);
  frame->extended_data = frame->data;
}

// What a command prints; empty when it cannot run.
std::string Output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    pclose(pipe);
  }
  return text;
}

// The first number the pattern's group catches in text, or -1.
double Number(const std::string& text, const std::string& pattern) {
  std::smatch match;
  return std::regex_search(text, match, std::regex(pattern)) ? std::stod(match[1]) : -1.0;
}

class FfmpegMuxerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Settings::Instance()->Init());
    Settings::Instance()->SetGeneralFilesaveurl(QString::fromStdString(m_dir.path()));
  }

  // Written settings are flushed now: the store's own flush at process exit
  // runs after the text codecs are gone.
  void TearDown() override { Settings::Instance()->GetGeneralFilesaveurl(); }

  MuxParams Params(int width, int height) {
    MuxParams p;
    p.fps = 30;
    p.width = width;
    p.height = height;
    p.qp = 28;
    p.channels = 2;
    p.sampleRate = 48000;
    p.sampleFormat = AV_SAMPLE_FMT_FLTP;
    p.audioBitRate = 128000;
    return p;
  }

  // Runs the source to its end (or until it reports a loss) and stops.
  static void RunToEnd(FfmpegMuxer& muxer, ScriptedSource& source) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!source.done && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    muxer.Stop();
  }

  std::string Path(const std::string& name) { return m_dir.path() + "/" + name; }

  testsupport::TempDir m_dir;
};


TEST_F(FfmpegMuxerTest, StartAndInitRulesAndNoHeaderOnlyFileLeft) {
  const std::string path = Path("never.mp4");
  {
    ScriptedSource source(320, 240, 10, 33333);
    ASSERT_TRUE(source.Init(CaptureParams{}));
    FfmpegMuxer muxer;
    EXPECT_EQ(muxer.Start(), -1);  // not initialised
    ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, Params(320, 240)), 0);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(muxer.GetOutputFiles().empty());
    EXPECT_FALSE(muxer.IsRunning());
    EXPECT_EQ(muxer.Resume(), -1);  // nothing paused
    EXPECT_EQ(muxer.Stop(), 0);     // never started: nothing to complete
  }
  // A writer that never started leaves nothing behind.
  EXPECT_FALSE(std::filesystem::exists(path));

  // A folder that does not exist: Init fails, and Start with it.
  ScriptedSource source(320, 240, 10, 33333);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FfmpegMuxer muxer;
  EXPECT_EQ(muxer.Init(Path("missing/x.mp4").c_str(), &source, nullptr, 0, Params(320, 240)), -1);
  EXPECT_EQ(muxer.Start(), -1);
}

TEST_F(FfmpegMuxerTest, StopWritesTheLastFramesAndStartTwiceIsHarmless) {
  const std::string path = Path("last.mp4");
  ScriptedSource source(320, 240, 90, 33333);
  source.pace = std::chrono::microseconds(33333);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FfmpegMuxer muxer;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, Params(320, 240)), 0);
  ASSERT_EQ(muxer.Start(), 0);
  EXPECT_EQ(muxer.Start(), 0);
  EXPECT_TRUE(muxer.IsRunning());
  while (!source.done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  muxer.Stop();
  EXPECT_FALSE(muxer.IsRunning());
  ASSERT_EQ(muxer.GetOutputFiles(), std::vector<std::string>{path});

  // Every delivered frame is in the file: nothing stays in the encoder. (A
  // stop that comes late holds the last picture up to it.)
  const testsupport::MediaProbe probe = testsupport::ProbeMedia(path);
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  EXPECT_EQ(probe.Audio(), nullptr);
  const auto& pts = probe.Video()->packetPts;
  ASSERT_GE(pts.size(), 90u);
  EXPECT_NEAR((pts[89] - pts[1]) * probe.Video()->timeBase, 88 / 30.0, 0.002);
  EXPECT_EQ(probe.Video()->decodedFrames, probe.Video()->packets);
  EXPECT_LE(probe.Video()->packets, 91);
  // Each frame keeps its own time: one frame after the one before.
  EXPECT_NEAR(probe.Video()->MinPtsStep(), 1 / 30.0, 0.002);
  EXPECT_EQ(probe.decodeErrors, 0);
  // The stop leaves an ordinary MP4 that lasts as long as its pictures.
  EXPECT_TRUE(probe.ordinary);
  EXPECT_NEAR(probe.duration, probe.Video()->lastPts + 1 / 30.0, 1 / 30.0);
}

// Only what changed is converted into each pooled picture, yet every
// picture in the file is its source picture whole: also after pictures the
// encoder's queue dropped and after a pause long enough for the pool's
// pictures to fall behind.
TEST_F(FfmpegMuxerTest, PicturesConvertedInPartsAreTheirSourceWhole) {
  constexpr int kWidth = 320, kHeight = 240, kFrames = 240, kStamp = 16;
  // Frame i: a grey rectangle somewhere, and i in binary in a row of blocks.
  const auto paint = [](int i, uint8_t* bgra, std::vector<platform::Rect>* changes) {
    std::mt19937 random(i + 1);
    const int w = 8 + int(random() % 120), h = 8 + int(random() % 90);
    const int x = int(random() % (kWidth - w)), y = kStamp + int(random() % (kHeight - kStamp - h));
    const int grey = int(random() % 256);
    for (int row = y; row < y + h; ++row)
      std::memset(bgra + (size_t(row) * kWidth + x) * 4, grey, size_t(w) * 4);
    for (int bit = 0; bit < 8; ++bit)
      for (int row = 0; row < kStamp; ++row)
        std::memset(bgra + (size_t(row) * kWidth + bit * kStamp) * 4, (i >> bit) & 1 ? 0xFF : 0,
                    kStamp * 4);
    changes->push_back({x, y, x + w, y + h});
    changes->push_back({0, 0, 8 * kStamp, kStamp});
  };
  const std::string path = Path("parts.mp4");
  ScriptedSource source(kWidth, kHeight, kFrames, 33333);
  source.paint = paint;
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FfmpegMuxer muxer;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, Params(kWidth, kHeight)), 0);
  ASSERT_EQ(muxer.Start(), 0);
  const auto waitFor = [&](int delivered) {
    while (source.delivered < delivered && !source.done)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  waitFor(80);
  muxer.Pause();
  waitFor(160);
  muxer.Resume();
  waitFor(kFrames);
  muxer.Stop();

  std::vector<uint8_t> expected(size_t(kWidth) * kHeight * 4, 0x80);
  std::vector<platform::Rect> ignored;
  int shown = -1, pictures = 0, worst = 0;
  const testsupport::MediaProbe probe =
      testsupport::ProbeMedia(path, [&](const uint8_t* bgra, int width, int height, double) {
        ASSERT_EQ(width, kWidth);
        ASSERT_EQ(height, kHeight);
        int index = 0;
        for (int bit = 0; bit < 8; ++bit)
          if (bgra[(size_t(kStamp / 2) * kWidth + bit * kStamp + kStamp / 2) * 4 + 1] > 128)
            index |= 1 << bit;
        ASSERT_GE(index, shown) << "pictures out of order";
        while (shown < index) paint(++shown, expected.data(), &ignored);
        // Mean difference of each 16-pixel tile: a part left from an older
        // picture differs by a grey level, coding by a few.
        for (int ty = 0; ty < kHeight; ty += 16)
          for (int tx = 0; tx < kWidth; tx += 16) {
            int sum = 0;
            for (int y = ty; y < ty + 16; ++y)
              for (int x = tx; x < tx + 16; ++x)
                for (int c = 0; c < 3; ++c) {
                  const size_t at = (size_t(y) * kWidth + x) * 4 + c;
                  sum += std::abs(int(bgra[at]) - int(expected[at]));
                }
            worst = std::max(worst, sum / (16 * 16 * 3));
          }
        ++pictures;
      });
  ASSERT_TRUE(probe.opened);
  EXPECT_EQ(probe.decodeErrors, 0);
  EXPECT_GT(pictures, 120);
  EXPECT_LE(worst, 12);
}

// Packets handed to the writer directly: a file never starts with a packet
// that is not a key (the encoder is asked for one), and a packet stamped at
// the same time as the one before still goes in, just after it.
TEST_F(FfmpegMuxerTest, FileStartsAtAKeyPacketAndEqualTimesAreKept) {
  const std::string path = Path("packets.mp4");
  ScriptedSource source(320, 240, 0, 33333);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FfmpegMuxer muxer;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, Params(320, 240)), 0);
  ASSERT_EQ(muxer.Start(), 0);
  const int64_t start = av_gettime_relative();
  uint8_t payload[16] = {0, 0, 0, 1, 0x65};
  auto send = [&](int64_t pts, bool key) {
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, sizeof(payload));
    std::memcpy(packet->data, payload, sizeof(payload));
    packet->pts = packet->dts = pts;
    if (key) packet->flags |= AV_PKT_FLAG_KEY;
    muxer.OnVideoPacket(packet);
    av_packet_free(&packet);
  };
  send(start + 1000, false);
  EXPECT_EQ(muxer.VideoPacketsWritten(), 0);
  EXPECT_EQ(muxer.KeyFramesRequested(), 1u);
  send(start + 34333, true);
  send(start + 34333, false);
  send(start + 67666, false);
  EXPECT_EQ(muxer.VideoPacketsWritten(), 3);
  EXPECT_EQ(muxer.KeyFramesRequested(), 1u);
  muxer.Stop();

  const testsupport::MediaProbe probe = testsupport::ProbeMedia(path);
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  EXPECT_EQ(probe.Video()->packets, 3);
  const auto& pts = probe.Video()->packetPts;
  ASSERT_EQ(pts.size(), 3u);
  EXPECT_GT(pts[1], pts[0]);
  EXPECT_LT(pts[1], pts[2]);
  EXPECT_NEAR((pts[2] - pts[0]) * probe.Video()->timeBase, 1 / 30.0, 0.002);
}

// The stream keeps to its frame rate and an even cadence: a source that
// delivers every 10 ms for one second gives 30 frames; one whose first frame
// comes 150 ms after Start and whose stamps wobble by 3 ms gives a file whose
// first picture stands from its start, every later frame one interval after
// the one before. A screen that stops changing keeps its last picture up to
// the stop.
TEST_F(FfmpegMuxerTest, FramesKeepToTheFrameRateAndAnEvenCadence) {
  auto record = [this](ScriptedSource& source, const std::string& name, int stillMs = 0) {
    const std::string path = Path(name);
    EXPECT_TRUE(source.Init(CaptureParams{}));
    FfmpegMuxer muxer;
    EXPECT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, Params(320, 240)), 0);
    EXPECT_EQ(muxer.Start(), 0);
    while (!source.done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(stillMs));
    RunToEnd(muxer, source);
    return testsupport::ProbeMedia(path);
  };
  ScriptedSource fast(320, 240, 100, 10000);
  const testsupport::MediaProbe paced = record(fast, "paced.mp4");
  ASSERT_NE(paced.Video(), nullptr);
  EXPECT_GE(paced.Video()->packets, 29);
  EXPECT_LE(paced.Video()->packets, 34);

  ScriptedSource late(320, 240, 30, 33333);
  late.delay = 150000;
  late.jitter = 3000;
  const testsupport::MediaProbe even = record(late, "cadence.mp4");
  ASSERT_NE(even.Video(), nullptr);
  const auto& pts = even.Video()->packetPts;
  ASSERT_EQ(pts.size(), 30u);
  EXPECT_EQ(pts[0], 0);
  EXPECT_GT(pts[1] * even.Video()->timeBase, 0.15);
  for (size_t i = 2; i < pts.size(); ++i)
    EXPECT_NEAR((pts[i] - pts[i - 1]) * even.Video()->timeBase, 1 / 30.0, 0.0005) << i;

  ScriptedSource still(320, 240, 5, 33333);
  still.pace = std::chrono::microseconds(33333);
  const testsupport::MediaProbe held = record(still, "still.mp4", 1000);
  ASSERT_NE(held.Video(), nullptr);
  EXPECT_EQ(held.Video()->packets, 6);
  EXPECT_GT(held.Video()->lastPts, 1.1) << "the picture ended at the last change";
}

// A screen that changes at every 60 Hz refresh, recorded at 30 fps with its
// sound: flashes that start at eight points spread over a frame interval,
// each with a beep at the same instant. A slot shows the latest picture
// taken in it, so a flash is as often a little early as late in the file:
// on average in step with its beep, and never more than half an interval
// off.
TEST_F(FfmpegMuxerTest, PicturesKeepInStepWithTheSound) {
  const std::string path = Path("flashes.mp4");
  constexpr int64_t kRefresh = 16667;
  constexpr int64_t kFlash = 100000;
  const int64_t origin = av_gettime_relative();
  std::vector<int64_t> onsets;  // µs after frame 0
  for (int k = 0; k < 8; ++k) onsets.push_back(500000 + k * 300000 + 2000 + k * 33333 / 8);
  auto flashing = [&](int64_t t) {
    for (int64_t onset : onsets)
      if (t >= onset && t < onset + kFlash) return true;
    return false;
  };
  ScriptedSource source(320, 240, 180, kRefresh);
  source.origin = origin;
  source.white = [&](int i) { return flashing(i * kRefresh); };
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FedAudio audio(1);
  AudioCapturer* sources[] = {&audio};
  FfmpegMuxer muxer;
  MuxParams params = Params(320, 240);
  params.channels = 1;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, sources, 1, params), 0);
  ASSERT_EQ(muxer.Start(), 0);
  AVFrame* frame = av_frame_alloc();
  std::vector<float> pcm(480);
  for (int block = 0; block < 300; ++block) {
    for (int n = 0; n < 480; ++n) {
      const int64_t sample = int64_t(block) * 480 + n;
      pcm[size_t(n)] = flashing(sample * 1000000 / 48000)
                           ? 0.5f * std::sin(2 * M_PI * 1000 * sample / 48000.0)
                           : 0.0f;
    }
    SetFloatFrame(frame, pcm.data(), 1, 480, origin + int64_t(block) * 10000);
    audio.Deliver(frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  av_frame_free(&frame);
  RunToEnd(muxer, source);

  std::vector<double> flashes;
  bool lastWhite = false;
  const testsupport::MediaProbe probe =
      testsupport::ProbeMedia(path, [&](const uint8_t* bgra, int, int, double time) {
        const bool white = bgra[0] > 200;
        if (white && !lastWhite) flashes.push_back(time);
        lastWhite = white;
      });
  const testsupport::StreamProbe* sound = probe.Audio();
  ASSERT_NE(sound, nullptr);
  std::vector<double> beeps;
  double lastLoud = -1;
  for (size_t i = 0; i + 48 <= sound->sound.size(); i += 48) {
    double energy = 0;
    for (size_t n = i; n < i + 48; ++n) energy += double(sound->sound[n]) * sound->sound[n];
    const double at = sound->soundStart + double(i) / 48000;
    if (std::sqrt(energy / 48) > 0.1 && at - lastLoud > 0.15) beeps.push_back(at);
    if (std::sqrt(energy / 48) > 0.1) lastLoud = at;
  }
  ASSERT_EQ(flashes.size(), onsets.size());
  ASSERT_EQ(beeps.size(), onsets.size());
  double sum = 0;
  for (size_t k = 0; k < onsets.size(); ++k) {
    const double offset = beeps[k] - flashes[k];
    EXPECT_LE(std::fabs(offset), 0.5 / 30 + 0.002) << "flash " << k;
    sum += offset;
  }
  EXPECT_NEAR(sum / onsets.size(), 0.0, 0.004);
}

// Segments by duration on a scripted clock: one second per frame, so a
// one-minute limit is passed every 61 frames; the switches fall in the same
// wall-clock second and must not overwrite each other.
TEST_F(FfmpegMuxerTest, DurationSegmentsAfterAPauseKeepEveryPacket) {
  const std::string path = Path("first.mp4");
  ScriptedSource source(320, 240, 200, 1000000);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FfmpegMuxer muxer;
  MuxParams params = Params(320, 240);
  params.segmentMode = 1;
  params.segmentMinutes = 1;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, params), 0);
  ASSERT_EQ(muxer.Start(), 0);
  while (source.delivered < 20) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  muxer.Pause();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  muxer.Resume();
  RunToEnd(muxer, source);

  const std::vector<std::string> files = muxer.GetOutputFiles();
  ASSERT_GE(files.size(), 3u);
  EXPECT_EQ(files[0], path);
  EXPECT_EQ(FilesIn(m_dir.path()), std::set<std::string>(files.begin(), files.end()));
  int64_t packets = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    const testsupport::MediaProbe probe = testsupport::ProbeMedia(files[i]);
    ASSERT_TRUE(probe.opened);
    ASSERT_NE(probe.Video(), nullptr);
    EXPECT_GT(probe.Video()->packets, 0);
    EXPECT_EQ(probe.decodeErrors, 0);
    // One frame a scripted second; the pause takes out only its real 0.2 s.
    EXPECT_GT(probe.Video()->MinPtsStep(), 0.5);
    EXPECT_TRUE(probe.ordinary);
    // Each file begins at its own start, not minutes in.
    EXPECT_LT(probe.Video()->firstPts, 3.0);
    if (i + 1 < files.size()) EXPECT_GT(probe.Video()->lastPts, 59.0);
    packets += probe.Video()->packets;
  }
  EXPECT_EQ(packets, muxer.VideoPacketsWritten());
  EXPECT_GT(packets, 40);  // frames taken while paused (or refused by a busy encoder) are not recorded
}

// A stop right after a segment began leaves no file without a picture, and
// no picture is lost where one file ends and the next begins.
TEST_F(FfmpegMuxerTest, StopAtASegmentBoundaryLeavesOnlyPlayableFiles) {
  for (int frames : {61, 62, 63}) {
    SCOPED_TRACE(frames);
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/edge.mp4";
    ScriptedSource source(320, 240, frames, 1000000);
    ASSERT_TRUE(source.Init(CaptureParams{}));
    FfmpegMuxer muxer;
    MuxParams params = Params(320, 240);
    params.segmentMode = 1;
    params.segmentMinutes = 1;
    ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, params), 0);
    ASSERT_EQ(muxer.Start(), 0);
    RunToEnd(muxer, source);
    const std::vector<std::string> files = muxer.GetOutputFiles();
    EXPECT_EQ(FilesIn(dir.path()), std::set<std::string>(files.begin(), files.end()));
    int64_t packets = 0;
    for (const std::string& file : files) {
      const testsupport::MediaProbe probe = testsupport::ProbeMedia(file);
      ASSERT_NE(probe.Video(), nullptr) << file;
      EXPECT_GT(probe.Video()->packets, 0) << file;
      packets += probe.Video()->packets;
    }
    EXPECT_EQ(packets + static_cast<int64_t>(muxer.PicturesRefused()), frames);
  }
}

// Size segments of 1 MiB at full motion (pictures of about 1 % of that):
// each file but the last ends within a few percent of the size, and every
// picture is in one of the files.
TEST_F(FfmpegMuxerTest, SizeSegmentsEndAtTheSizeAndKeepEveryPicture) {
  const std::string path = Path("size.mp4");
  ScriptedSource source(160, 120, 300, 33333);
  source.noise = true;
  source.pace = std::chrono::milliseconds(8);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FfmpegMuxer muxer;
  MuxParams params = Params(160, 120);
  params.qp = 24;
  params.segmentMode = 2;
  params.segmentMegabytes = 1;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, params), 0);
  ASSERT_EQ(muxer.Start(), 0);
  RunToEnd(muxer, source);

  const std::vector<std::string> files = muxer.GetOutputFiles();
  ASSERT_GE(files.size(), 2u);
  EXPECT_EQ(FilesIn(m_dir.path()), std::set<std::string>(files.begin(), files.end()));
  int64_t packets = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    const testsupport::MediaProbe probe = testsupport::ProbeMedia(files[i]);
    ASSERT_TRUE(probe.opened);
    ASSERT_NE(probe.Video(), nullptr);
    EXPECT_EQ(probe.decodeErrors, 0);
    EXPECT_GT(probe.Video()->keyPackets, 0);
    EXPECT_TRUE(probe.ordinary);
    const double megabytes = std::filesystem::file_size(files[i]) / (1024.0 * 1024.0);
    printf("%s: %.3f MiB, %lld pictures\n", files[i].c_str(), megabytes,
           static_cast<long long>(probe.Video()->packets));
    if (i + 1 < files.size()) {
      EXPECT_GT(megabytes, 0.97);
      EXPECT_LT(megabytes, 1.03);
    }
    packets += probe.Video()->packets;
  }
  EXPECT_EQ(packets, muxer.VideoPacketsWritten());
  // (A loaded machine's encoder may refuse some.)
  EXPECT_GE(packets + static_cast<int64_t>(muxer.PicturesRefused()), source.delivered);
}

// Sound in frames of 441 samples (blocks of 1024 never line up with them)
// for mono, stereo and six channels: every AAC packet follows the previous
// by exactly one block, and each channel carries its tone.
TEST_F(FfmpegMuxerTest, AudioBlocksKeepTheTimeOfTheirFirstSample) {
  for (int channels : {1, 2, 6}) {
    SCOPED_TRACE(channels);
    const std::string path = Path("sound" + std::to_string(channels) + ".mp4");
    ScriptedSource source(320, 240, 60, 33333);
    source.pace = std::chrono::milliseconds(10);
    ASSERT_TRUE(source.Init(CaptureParams{}));
    FedAudio audio(channels);
    AudioCapturer* sources[] = {&audio};
    FfmpegMuxer muxer;
    MuxParams params = Params(320, 240);
    params.channels = channels;
    ASSERT_EQ(muxer.Init(path.c_str(), &source, sources, 1, params), 0);
    ASSERT_EQ(muxer.Start(), 0);
    const int64_t base = av_gettime_relative();
    constexpr int kSamples = 441;
    AVFrame* frame = av_frame_alloc();
    std::vector<float> pcm(size_t(kSamples) * channels);
    for (int i = 0; i < 200; ++i) {
      for (int n = 0; n < kSamples; ++n)
        for (int c = 0; c < channels; ++c)
          pcm[size_t(n) * channels + c] =
              0.5f * std::sin(2 * M_PI * (300 + 100 * c) * (i * kSamples + n) / 48000.0);
      SetFloatFrame(frame, pcm.data(), channels, kSamples, base + int64_t(i) * kSamples * 1000000 / 48000);
      audio.Deliver(frame);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    av_frame_free(&frame);
    RunToEnd(muxer, source);

    const testsupport::MediaProbe probe = testsupport::ProbeMedia(path);
    ASSERT_TRUE(probe.opened);
    const testsupport::StreamProbe* sound = probe.Audio();
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(sound->channels, channels);
    EXPECT_GT(sound->audioRms, 0.2);
    // 200 x 441 samples make 86 blocks; the encoder's first one is its delay.
    EXPECT_GE(sound->packets, 84);
    ASSERT_GE(sound->packetPts.size(), 3u);
    // The block that spans the file's start (its first picture) begins at 0.
    EXPECT_EQ(sound->packetPts[0], 0);
    EXPECT_LE(sound->packetPts[1], 1024);
    for (size_t i = 2; i < sound->packetPts.size(); ++i)
      // One block apart; the microsecond input clock may round by a sample.
      EXPECT_NEAR(sound->packetPts[i] - sound->packetPts[i - 1], 1024, 2) << "packet " << i;
  }
}

// Speaker and microphone mixed; the microphone ends while paused. After
// Resume the speaker alone keeps the mix going while still recording.
TEST_F(FfmpegMuxerTest, ASourceEndingWhilePausedLeavesTheMixGoing) {
  const std::string path = Path("ended.mp4");
  ScriptedSource source(320, 240, 1000, 33333);
  source.pace = std::chrono::milliseconds(10);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FedAudio speaker(2), microphone(2);
  AudioCapturer* sources[] = {&speaker, &microphone};
  FfmpegMuxer muxer;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, sources, 2, Params(320, 240)), 0);
  ASSERT_EQ(muxer.Start(), 0);
  AVFrame* frame = av_frame_alloc();
  std::vector<float> silence(480 * 2, 0.0f);
  int64_t clock = av_gettime_relative();
  auto deliver = [&](FedAudio& to, int64_t pts) {
    SetFloatFrame(frame, silence.data(), 2, 480, pts);
    to.Deliver(frame);
  };
  for (int i = 0; i < 20; ++i, clock += 10000) {
    deliver(speaker, clock);
    deliver(microphone, clock);
  }
  muxer.Pause();
  microphone.Deliver(nullptr);
  muxer.Resume();
  clock = av_gettime_relative();
  for (int i = 0; i < 100; ++i, clock += 10000) deliver(speaker, clock);
  // A second of the speaker alone: about 47 more blocks, while recording.
  for (int i = 0; i < 500 && muxer.AudioPacketsWritten() < 40; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(muxer.AudioPacketsWritten(), 40);
  av_frame_free(&frame);
  muxer.Stop();
}

// Speaker and microphone mixed, with a pause cut by the time the sound was
// captured: the microphone's last sound before the pause, handed over after
// it, is kept (1000 Hz); of a frame that spans the resume only its part
// after it is kept (2000 Hz, not 3000 Hz).
TEST_F(FfmpegMuxerTest, PausesAreCutByTheTimeTheSoundWasCaptured) {
  const std::string path = Path("pausecut.mp4");
  ScriptedSource source(320, 240, 1000, 33333);
  source.pace = std::chrono::milliseconds(33);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FedAudio speaker(2), microphone(2);
  AudioCapturer* sources[] = {&speaker, &microphone};
  FfmpegMuxer muxer;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, sources, 2, Params(320, 240)), 0);
  ASSERT_EQ(muxer.Start(), 0);
  const int64_t t0 = av_gettime_relative();
  AVFrame* frame = av_frame_alloc();
  std::vector<float> pcm;
  // [from, to) of both sources in frames of `samples`; the microphone plays
  // hz(capture time), 0 for silence.
  auto deliver = [&](int64_t from, int64_t to, int samples, const std::function<double(int64_t)>& hz) {
    for (int64_t pts = from; pts < to; pts += int64_t(samples) * 1000000 / 48000) {
      pcm.assign(size_t(samples) * 2, 0.0f);
      SetFloatFrame(frame, pcm.data(), 2, samples, pts);
      speaker.Deliver(frame);
      for (int n = 0; n < samples; ++n) {
        const int64_t t = pts + int64_t(n) * 1000000 / 48000;
        pcm[size_t(n) * 2] = pcm[size_t(n) * 2 + 1] = float(0.5 * std::sin(2 * M_PI * hz(t) * t / 1e6));
      }
      microphone.Deliver(frame);
    }
  };
  auto silence = [](int64_t) { return 0.0; };
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int64_t a = av_gettime_relative();
  deliver(t0, a - 200000, 480, silence);
  muxer.Pause();
  deliver(a - 200000, a, 480, [&](int64_t t) { return t >= a - 150000 && t < a - 50000 ? 1000.0 : 0.0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int64_t c = av_gettime_relative();
  muxer.Resume();
  const int64_t d = av_gettime_relative();
  deliver(c - 100000, d + 200000, int((d + 300000 - c) * 48 / 1000),
          [&](int64_t t) { return t < c ? 3000.0 : t >= d ? 2000.0 : 0.0; });
  deliver(d + 200000, d + 600000, 480, silence);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  av_frame_free(&frame);
  muxer.Stop();

  const testsupport::MediaProbe probe = testsupport::ProbeMedia(path);
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Audio(), nullptr);
  const std::vector<float>& sound = probe.Audio()->sound;
  auto strongest = [&](double hz) {
    double best = 0;
    for (size_t i = 0; i + 2400 <= sound.size(); i += 1200)
      best = std::max(best, testsupport::ToneAmplitude(
                                std::vector<float>(sound.begin() + i, sound.begin() + i + 2400), 1, 48000, hz));
    return best;
  };
  EXPECT_GT(strongest(1000), 0.1);
  EXPECT_GT(strongest(2000), 0.1);
  EXPECT_LT(strongest(3000), 0.03);
}

// The source reports its loss: the recorder tells its observers (0, 2),
// and the file written so far is complete.
TEST_F(FfmpegMuxerTest, LostSourceIsReportedAndTheFileStaysPlayable) {
  const std::string path = Path("lost.mp4");
  ScriptedSource source(320, 240, 1000, 33333);
  source.lostAfter = 60;
  source.pace = std::chrono::milliseconds(10);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  Recorder recorder;
  Observer observer;
  recorder.AddObserver(&observer);
  recorder.AddObserver(&observer);  // once only
  source.AddObserver(&recorder);
  FfmpegMuxer muxer;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, Params(320, 240)), 0);
  ASSERT_EQ(muxer.Start(), 0);
  while (!source.done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(observer.calls, 1);
  EXPECT_EQ(observer.lastType, 0);
  EXPECT_EQ(observer.lastCode, 2);
  muxer.Stop();

  const testsupport::MediaProbe probe = testsupport::ProbeMedia(path);
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  EXPECT_LE(probe.Video()->packets, 60);
  EXPECT_GE(probe.Video()->packets, 55);  // a lagging encoder may refuse a frame
  EXPECT_EQ(probe.decodeErrors, 0);
}

// The file cannot be written on: its file system fills up part-way, or the
// next segment cannot be made because its folder is gone. The writer stops
// writing, reports a write failure once, Stop says that the recording was
// not written to its end, and the file ends with its last whole fragment:
// it plays without a decoding error.
TEST_F(FfmpegMuxerTest, WriteFailuresAreReportedOnceAndLeaveAPlayableFile) {
  for (const bool fullDisk : {true, false}) {
    SCOPED_TRACE(fullDisk ? "full disk" : "segment folder gone");
    const std::string folder = Path(fullDisk ? "full" : "gone");
    std::filesystem::create_directory(folder);
    std::string path = folder + "/first.mp4";
    // A frame a second on the scripted clock: the one-minute segment ends
    // after 61 frames.
    ScriptedSource source(320, 240, 300, fullDisk ? 33333 : 1000000);
    source.noise = true;
    source.pace = std::chrono::milliseconds(8);
    ASSERT_TRUE(source.Init(CaptureParams{}));
    FfmpegMuxer muxer;
    std::atomic<int> failures{0};
    std::atomic<int> code{0};
    muxer.SetFailureCallback([&](RecordError e) {
      ++failures;
      code = e;
    });
    MuxParams params = Params(320, 240);
    params.qp = 10;
    params.segmentMode = fullDisk ? 0 : 1;
    params.segmentMinutes = 1;
    // A small file system of its own, seen by this test only, when it may
    // mount one; else a file size limit stands in for the full disk.
    const bool ownDisk = fullDisk && unshare(CLONE_NEWNS) == 0 &&
                         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                         mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=3m") == 0;
    ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, params), 0);

    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    if (fullDisk && !ownDisk) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limited = old;
      limited.rlim_cur = 3 * 1024 * 1024;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    ASSERT_EQ(muxer.Start(), 0);
    if (!fullDisk) {
      // The open file moves with its folder; a plain file takes the
      // folder's place.
      while (source.delivered < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::filesystem::rename(folder, folder + "-moved");
      std::ofstream(folder) << "not a folder";
      path = folder + "-moved/first.mp4";
    }
    while (!source.done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(muxer.Stop(), -1);
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_EQ(failures, 1);
    EXPECT_EQ(code, kRecordFailed);
    EXPECT_EQ(muxer.GetOutputFiles().size(), 1u);
    // The file ends with its last whole fragment. Cut back so, a file on a
    // full disk may have room for its finished moov or not; where not, it is
    // finished once there is room.
    const testsupport::MediaProbe probe = testsupport::ProbeMedia(path);
    if (fullDisk) printf("full: %s\n", ownDisk ? "a file system of its own" : "a file size limit");
    ASSERT_TRUE(probe.opened);
    ASSERT_NE(probe.Video(), nullptr);
    EXPECT_GT(probe.Video()->decodedFrames, 10);
    EXPECT_LT(probe.Video()->packets, 300);
    EXPECT_EQ(probe.decodeErrors, 0);
    EXPECT_TRUE(probe.ordinary || fullDisk);
    if (!probe.ordinary) {
      if (ownDisk) mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT, "size=8m");
      EXPECT_TRUE(Mp4Finalizer::FinishFile(path));
      const testsupport::MediaProbe finished = testsupport::ProbeMedia(path);
      EXPECT_TRUE(finished.ordinary);
      ASSERT_NE(finished.Video(), nullptr);
      EXPECT_EQ(finished.Video()->decodedFrames, probe.Video()->decodedFrames);
      EXPECT_EQ(finished.decodeErrors, 0);
    }
    if (ownDisk) umount2(folder.c_str(), MNT_DETACH);
  }
}

// Three seconds of pictures and sound: GStreamer and MediaInfo read the
// finished file's duration and frame rate right.
TEST_F(FfmpegMuxerTest, OtherProgramsReadTheFinishedFileRight) {
  ASSERT_FALSE(Output("command -v gst-discoverer-1.0 mediainfo").empty())
      << "gst-discoverer-1.0 and mediainfo are needed: run scripts/setup";
  const std::string path = Path("readers.mp4");
  // Stamps run ahead of the clock, so that no frame slot is left empty and
  // none is added at the stop: the stream's rate is exactly 30.
  ScriptedSource source(320, 240, 90, 33333);
  source.pace = std::chrono::milliseconds(20);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FedAudio audio(2);
  AudioCapturer* sources[] = {&audio};
  FfmpegMuxer muxer;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, sources, 1, Params(320, 240)), 0);
  ASSERT_EQ(muxer.Start(), 0);
  const int64_t start = av_gettime_relative();
  AVFrame* frame = av_frame_alloc();
  std::vector<float> pcm(480 * 2);
  for (int block = 0; block < 300; ++block) {
    for (size_t n = 0; n < pcm.size(); ++n) pcm[n] = 0.3f * std::sin(0.05 * (block * 960 + n));
    SetFloatFrame(frame, pcm.data(), 2, 480, start + int64_t(block) * 10000);
    audio.Deliver(frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(6));
  }
  while (!source.done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  av_frame_free(&frame);
  muxer.Stop();

  const testsupport::MediaProbe probe = testsupport::ProbeMedia(path);
  ASSERT_NE(probe.Video(), nullptr);
  ASSERT_NE(probe.Audio(), nullptr);
  EXPECT_TRUE(probe.ordinary);
  const double duration = probe.Video()->lastPts + 1 / 30.0;
  EXPECT_NEAR(probe.duration, duration, 1 / 30.0);
  const std::string gst = Output("gst-discoverer-1.0 -v '" + path + "'");
  const double h = Number(gst, R"(Duration: (\d+):)"), m = Number(gst, R"(Duration: \d+:(\d+):)"),
               sec = Number(gst, R"(Duration: \d+:\d+:([\d.]+))");
  EXPECT_NEAR(h * 3600 + m * 60 + sec, duration, duration * 0.02) << gst;
  EXPECT_NE(gst.find("Frame rate: 30/1"), std::string::npos) << gst;
  const std::string info = Output("mediainfo '--Inform=General;%Duration%' '" + path + "'");
  EXPECT_NEAR(std::atof(info.c_str()) / 1000, duration, duration * 0.02) << info;
  const std::string rate = Output("mediainfo '--Inform=Video;%FrameRate%' '" + path + "'");
  EXPECT_NEAR(std::atof(rate.c_str()), 30.0, 0.01) << rate;
}

// The file as a kill leaves it at any moment: while recording (a copy taken
// as the writer writes), during the finishing's append (every cut of the new
// moov) and after it. Each state plays with the same pictures; the last is
// ordinary. The same holds with the fragments beyond 4 GiB, where the
// offsets and the free box take 64 bits.
TEST_F(FfmpegMuxerTest, AKillAtAnyMomentLeavesAPlayableFile) {
  const std::string path = Path("killed.mp4");
  ScriptedSource source(320, 240, 150, 33333);
  source.noise = true;
  source.pace = std::chrono::milliseconds(10);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FedAudio audio(2);
  AudioCapturer* sources[] = {&audio};
  FfmpegMuxer muxer;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, sources, 1, Params(320, 240)), 0);
  ASSERT_EQ(muxer.Start(), 0);
  const int64_t start = av_gettime_relative();
  AVFrame* frame = av_frame_alloc();
  std::vector<float> pcm(480 * 2, 0.1f);
  for (int block = 0; source.delivered < 110; ++block) {
    SetFloatFrame(frame, pcm.data(), 2, 480, start + int64_t(block) * 10000);
    audio.Deliver(frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  av_frame_free(&frame);
  const std::string killed = Path("snapshot.mp4");
  std::filesystem::copy_file(path, killed);
  RunToEnd(muxer, source);

  const testsupport::MediaProbe recording = testsupport::ProbeMedia(killed);
  ASSERT_NE(recording.Video(), nullptr);
  EXPECT_FALSE(recording.ordinary);
  EXPECT_GE(recording.Video()->decodedFrames, 60);

  auto finishStepByStep = [&](const std::string& file) {
    SCOPED_TRACE(file);
    Mp4Finalizer finalizer;
    ASSERT_TRUE(finalizer.Open(file));
    ASSERT_TRUE(finalizer.Read());
    ASSERT_FALSE(finalizer.IsOrdinary());
    const uintmax_t before = std::filesystem::file_size(file);
    ASSERT_TRUE(finalizer.AppendMoov());
    const uintmax_t after = std::filesystem::file_size(file);
    ASSERT_GT(after, before);
    for (int part = 1; part <= 8; ++part) {
      const std::string cut = file + ".cut.mp4";
      std::filesystem::copy_file(file, cut, std::filesystem::copy_options::overwrite_existing);
      std::filesystem::resize_file(cut, before + (after - before) * part / 8);
      const testsupport::MediaProbe probe = testsupport::ProbeMedia(cut);
      ASSERT_NE(probe.Video(), nullptr) << part;
      EXPECT_EQ(probe.Video()->decodedFrames, recording.Video()->decodedFrames) << part;
      EXPECT_FALSE(probe.ordinary);
      std::filesystem::remove(cut);
    }
    ASSERT_TRUE(finalizer.HideFragments());
    const testsupport::MediaProbe probe = testsupport::ProbeMedia(file);
    EXPECT_TRUE(probe.ordinary);
    ASSERT_NE(probe.Video(), nullptr);
    ASSERT_NE(probe.Audio(), nullptr);
    EXPECT_GE(probe.Video()->decodedFrames, recording.Video()->decodedFrames - 1);
    EXPECT_EQ(probe.decodeErrors, 0);
    // Finishing again changes nothing.
    EXPECT_TRUE(Mp4Finalizer::FinishFile(file));
    EXPECT_EQ(std::filesystem::file_size(file), after);
  };
  const std::string big = Path("big.mp4");
  {
    // The same file with a sparse free box of 4 GiB before its first
    // fragment (fragment offsets are relative to their moof).
    std::ifstream in(killed, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto boxSize = [&](size_t at) {
      return size_t(uint8_t(bytes[at])) << 24 | size_t(uint8_t(bytes[at + 1])) << 16 |
             size_t(uint8_t(bytes[at + 2])) << 8 | size_t(uint8_t(bytes[at + 3]));
    };
    const size_t fragments = boxSize(0) + boxSize(boxSize(0));  // ftyp, moov
    ASSERT_EQ(std::string(&bytes[fragments + 4], 4), "moof");
    const uint64_t gap = (uint64_t(4) << 30) + 16;
    std::ofstream out(big, std::ios::binary);
    out.write(bytes.data(), std::streamsize(fragments));
    const char header[16] = {0, 0, 0, 1, 'f', 'r', 'e', 'e', 0, 0, 0, 1, 0, 0, 0, 16};
    out.write(header, sizeof header);
    out.seekp(std::streamoff(fragments + gap));
    out.write(bytes.data() + fragments, std::streamsize(bytes.size() - fragments));
  }
  finishStepByStep(killed);
  finishStepByStep(big);
}

}  // namespace
