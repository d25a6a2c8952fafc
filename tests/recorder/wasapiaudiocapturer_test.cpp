#include <gtest/gtest.h>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/fake/fake_audio_endpoints.h"
#include "recorder/audiodevices.h"
#include "recorder/wasapiaudiocapturer.h"
#include "support/audiotools.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

using platform::AudioDirection;
using platform::AudioFormatTag;
using platform::AudioMixFormat;
using platform::AudioRole;
using platform::AudioSubFormat;
using platform::fake::FakeAudioEndpoints;
using platform::fake::FakeAudioPacket;

namespace {

struct Received {
  int64_t pts;
  int samples;
  int format;
  int rate;
  int channels;
  std::vector<uint8_t> bytes;
  float first = 0;  // first sample
  bool silent = false;  // all zero
};

int64_t End(const Received& r) { return r.rate > 0 ? r.pts + int64_t(r.samples) * 1000000 / r.rate : r.pts; }

// Stop pads the stream to its own time with silence: the last frame with
// sound.
const Received& LastSound(const std::vector<Received>& frames) {
  auto it = std::find_if(frames.rbegin(), frames.rend(), [](const Received& r) { return !r.silent; });
  return it == frames.rend() ? frames.back() : *it;
}

// Each frame starts where the one before it ended, give or take the
// timeline's slew.
::testing::AssertionResult Contiguous(const std::vector<Received>& frames) {
  for (size_t i = 1; i < frames.size(); ++i) {
    const int64_t expected = End(frames[i - 1]);
    const int64_t slack = int64_t(frames[i - 1].samples) * 1000000 / frames[i - 1].rate / 400 + 2;
    if (frames[i].samples < 0 || std::llabs(frames[i].pts - expected) > slack)
      return ::testing::AssertionFailure() << "frame " << i << " at " << frames[i].pts << ", expected "
                                           << expected;
  }
  return ::testing::AssertionSuccess();
}

// Copies what the capturer hands over; a null frame is recorded as samples -1.
class Sink {
 public:
  void Attach(AudioCapturer& capturer, int index) {
    capturer.SetCallbacks(
        [this](AVFrame* f, int i) {
          std::lock_guard<std::mutex> lock(m_mutex);
          m_index = i;
          if (!f) {
            m_frames.push_back({0, -1, -1, 0, 0, {}});
            return;
          }
          int size = av_samples_get_buffer_size(nullptr, f->ch_layout.nb_channels, f->nb_samples,
                                                static_cast<AVSampleFormat>(f->format), 1);
          Received r{f->pts, f->nb_samples, f->format, f->sample_rate, f->ch_layout.nb_channels,
                     std::vector<uint8_t>(f->data[0], f->data[0] + size)};
          if (f->format == AV_SAMPLE_FMT_FLT) std::memcpy(&r.first, f->data[0], sizeof(float));
          r.silent = std::all_of(r.bytes.begin(), r.bytes.end(), [](uint8_t b) { return b == 0; });
          m_frames.push_back(std::move(r));
        },
        nullptr, index);
  }
  std::vector<Received> Frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
  }
  // Waits (bounded) until n frames arrived, or one that matches.
  bool WaitFor(size_t n) {
    return WaitFor([&](const std::vector<Received>& all) { return all.size() >= n; });
  }
  bool WaitFor(const std::function<bool(const Received&)>& match) {
    return WaitFor([&](const std::vector<Received>& all) { return std::any_of(all.begin(), all.end(), match); });
  }
  bool WaitFor(const std::function<bool(const std::vector<Received>&)>& done) {
    for (int i = 0; i < 50000; ++i) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (done(m_frames)) return true;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
  }
  int Index() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_index;
  }

 private:
  std::mutex m_mutex;
  std::vector<Received> m_frames;
  int m_index = -99;
};

FakeAudioPacket DataPacket(uint32_t frames, float value, int channels = 2) {
  FakeAudioPacket p;
  p.kind = FakeAudioPacket::Kind::Data;
  p.frames = frames;
  std::vector<float> samples(frames * channels, value);
  p.data.resize(samples.size() * sizeof(float));
  std::memcpy(p.data.data(), samples.data(), p.data.size());
  return p;
}

FakeAudioPacket KindPacket(FakeAudioPacket::Kind kind, uint32_t frames) {
  FakeAudioPacket p;
  p.kind = kind;
  p.frames = frames;
  p.data.assign(frames * 8, 0x7f);  // garbage behind a silent flag
  return p;
}

class CapturerFake : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Backend::Use(platform::BackendKind::Fake);
    fake().Reset();
  }
  void TearDown() override { fake().Reset(); }
  FakeAudioEndpoints& fake() { return FakeAudioEndpoints::Instance(); }
};

}  // namespace

TEST_F(CapturerFake, MixFormatChecksRefuseWithTheirMessages) {
  struct Case {
    AudioMixFormat format;
    const char* message;
  };
  AudioMixFormat rate;
  rate.sampleRate = 192000;
  AudioMixFormat channels;
  channels.channels = 9;
  AudioMixFormat tag;
  tag.tag = AudioFormatTag::Other;
  AudioMixFormat sub;
  sub.subFormat = AudioSubFormat::Other;
  AudioMixFormat bits24;
  bits24.subFormat = AudioSubFormat::Pcm;
  bits24.bitsPerSample = 24;
  const Case cases[] = {{rate, "sampling rate is bigger than 96kHz. 192000"},
                        {channels, "Unsupported channels 9"},
                        {tag, "Failed to force 16-bit PCM"},
                        {sub, "Failed to force 16-bit samples"},
                        {bits24, "Unsupported bits per sample 24"}};
  for (const auto& c : cases) {
    for (int kind : {0, 1}) {
      fake().SetMixFormat(kind ? "mic" : "spk", c.format);
      testsupport::LogCapture log;
      WASAPIAudioCapturer capturer;
      EXPECT_EQ(capturer.Init("n", kind ? "mic" : "spk", kind), -1) << c.message;
      EXPECT_TRUE(log.Contains(c.message)) << c.message;
      EXPECT_TRUE(log.Contains("wasapi initialize failed"));
      EXPECT_EQ(fake().ListenerCount(), 0);
      EXPECT_EQ(capturer.Start(), -1);
    }
  }
}

TEST_F(CapturerFake, InitRulesAndFormats) {
  testsupport::LogCapture log;
  WASAPIAudioCapturer empty;
  EXPECT_EQ(empty.Init("n", "", 0), -1);
  EXPECT_TRUE(log.Contains("device is emtpy"));

  WASAPIAudioCapturer unknown;
  EXPECT_EQ(unknown.Init("n", "nowhere", 1), -1);
  EXPECT_TRUE(log.Contains("GetDefaultAudioEndpoint failed:"));

  // Six channels open unchanged; mask 0x60F gives layout 0x3F.
  AudioMixFormat six;
  six.channels = 6;
  six.channelMask = 0x60F;
  fake().SetMixFormat("spk", six);
  WASAPIAudioCapturer speaker;
  ASSERT_EQ(speaker.Init("Speakers", "spk", 0), 0);
  EXPECT_EQ(speaker.GetChannels(), 6);
  EXPECT_EQ(speaker.GetChannelLayout(), 0x3Fu);
  EXPECT_EQ(speaker.GetSampleFormat(), AV_SAMPLE_FMT_FLT);
  EXPECT_TRUE(fake().LastCaptureLoopback());
  EXPECT_EQ(speaker.Init("Speakers", "spk", 0), 0);
  EXPECT_TRUE(log.Contains("init has finished"));

  // A speaker whose many-channel stream is refused falls back to stereo.
  fake().FailCaptureOpens(1);
  WASAPIAudioCapturer downmix;
  ASSERT_EQ(downmix.Init("Speakers", "spk", 0), 0);
  EXPECT_TRUE(log.Contains("Audio channel is more than 2"));
  EXPECT_EQ(downmix.GetChannels(), 2);
  EXPECT_EQ(downmix.GetChannelLayout(), 0x3u);
  EXPECT_EQ(fake().LastCaptureFormat().channels, 2);

  // A microphone gets no second try.
  fake().FailCaptureOpens(1);
  WASAPIAudioCapturer mic;
  EXPECT_EQ(mic.Init("Mic", "mic", 1), -1);

  // Integer mix formats are labelled as what they are.
  AudioMixFormat s16;
  s16.tag = AudioFormatTag::Pcm;
  s16.bitsPerSample = 16;
  s16.channels = 1;
  fake().SetMixFormat("mic", s16);
  WASAPIAudioCapturer mic16;
  ASSERT_EQ(mic16.Init("Mic", "Default", 1), 0);
  EXPECT_EQ(mic16.GetSampleFormat(), AV_SAMPLE_FMT_S16);
  EXPECT_EQ(mic16.GetChannels(), 1);
}

TEST_F(CapturerFake, PacketsBecomeOneUnbrokenStream) {
  WASAPIAudioCapturer capturer;
  Sink sink;
  sink.Attach(capturer, 3);
  ASSERT_EQ(capturer.Init("Mic", "mic", 1), 0);
  ASSERT_EQ(capturer.Start(), 0);
  EXPECT_EQ(capturer.GetStartTime(), 1000000000);
  EXPECT_EQ(capturer.GetTimeBase().den, 1000000);

  testsupport::LogCapture log;
  fake().PushPacket("mic", DataPacket(480, 0.25f));
  fake().PushPacket("mic", KindPacket(FakeAudioPacket::Kind::Silent, 240));
  fake().PushPacket("mic", KindPacket(FakeAudioPacket::Kind::Null, 120));
  ASSERT_TRUE(sink.WaitFor(3));
  // Half a second without packets is a stall: silence holds its place, and
  // the sound that follows is placed at its own time.
  fake().AdvanceMs(500);
  ASSERT_TRUE(sink.WaitFor([](const Received& r) { return End(r) >= 1000000000 + 250000; }));
  fake().PushPacket("mic", DataPacket(480, 0.5f));
  ASSERT_TRUE(sink.WaitFor([](const Received& r) { return r.first == 0.5f; }));
  capturer.Stop();

  auto frames = sink.Frames();
  ASSERT_GE(frames.size(), 5u);
  EXPECT_EQ(sink.Index(), 3);
  // The stream starts at Start.
  EXPECT_EQ(frames[0].pts, 1000000000);
  EXPECT_EQ(frames[0].samples, 480);
  EXPECT_EQ(frames[0].format, AV_SAMPLE_FMT_FLT);
  EXPECT_EQ(frames[0].rate, 48000);
  EXPECT_EQ(frames[0].channels, 2);
  ASSERT_EQ(frames[0].bytes.size(), 480u * 8);
  EXPECT_EQ(frames[0].first, 0.25f);
  EXPECT_EQ(frames[1].samples, 240);
  EXPECT_EQ(frames[1].bytes, std::vector<uint8_t>(240 * 8, 0));
  EXPECT_EQ(frames[2].samples, 120);
  EXPECT_EQ(frames[2].bytes, std::vector<uint8_t>(120 * 8, 0));
  EXPECT_TRUE(Contiguous(frames));
  // The gap is silence; the new packet ends about where the clock is.
  const Received& last = LastSound(frames);
  EXPECT_EQ(last.first, 0.5f);
  EXPECT_EQ(std::count_if(frames.begin() + 3, frames.end(), [](const Received& r) { return !r.silent; }), 1);
  EXPECT_NEAR(End(last), 1000000000 + 500000, 100);
  EXPECT_TRUE(log.Contains("buffer invalid is"));
}

// A device that goes away, a restart that cannot open it and its return:
// the source delivers silence in its place all along and never ends.
TEST_F(CapturerFake, LostDeviceIsSilenceUntilItComesBack) {
  WASAPIAudioCapturer capturer;
  Sink sink;
  sink.Attach(capturer, 0);
  testsupport::LogCapture log;
  ASSERT_EQ(capturer.Init("Speakers", "spk", 0), 0);
  ASSERT_EQ(capturer.Start(), 0);
  fake().PushPacket("spk", DataPacket(480, 0.5f));
  fake().PushPacket("spk", KindPacket(FakeAudioPacket::Kind::Invalidated, 480));
  ASSERT_TRUE(sink.WaitFor(1));
  for (int i = 0; i < 500 && !log.Contains("DoRecord failed"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(log.Contains("DoRecord failed"));
  EXPECT_FALSE(log.Contains("GetBuffer failed"));
  // The device is gone: a default change cannot open it, and the retries
  // do not try while it is missing.
  fake().SetEndpoints(AudioDirection::Render, {});
  fake().AdvanceMs(400);
  fake().NotifyDefaultChanged(AudioDirection::Render, AudioRole::Console, "");
  for (int i = 0; i < 500 && !log.Contains("restart to capture audio failed"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(log.Contains("restart to capture audio failed"));
  const int opens = fake().CaptureOpenCount();
  fake().AdvanceMs(1500);
  ASSERT_TRUE(sink.WaitFor([](const Received& r) { return End(r) + 1000 >= 1000000000 + 1700000; }));
  EXPECT_EQ(fake().CaptureOpenCount(), opens);
  // Back again: the next retry opens it and its sound follows the silence.
  fake().SetEndpoints(AudioDirection::Render, {{"spk", "Speakers"}});
  fake().AdvanceMs(1000);
  for (int i = 0; i < 500 && fake().CaptureOpenCount() == opens; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(fake().CaptureOpenCount(), opens + 1);
  for (int i = 0; i < 500 && !log.Contains("restart to capture audio successfully"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  fake().PushPacket("spk", DataPacket(480, 0.75f));
  ASSERT_TRUE(sink.WaitFor([](const Received& r) { return r.first == 0.75f; }));
  EXPECT_EQ(capturer.Stop(), 0);
  EXPECT_EQ(capturer.Stop(), 0);
  EXPECT_EQ(fake().ListenerCount(), 0);

  auto frames = sink.Frames();
  EXPECT_TRUE(Contiguous(frames));
  EXPECT_EQ(frames.front().first, 0.5f);
  EXPECT_EQ(LastSound(frames).first, 0.75f);
  EXPECT_EQ(std::count_if(frames.begin(), frames.end(), [](const Received& r) { return !r.silent; }), 2);
  EXPECT_NEAR(End(LastSound(frames)), 1000000000 + 2900000, 15000);
}

// A device that is there but cannot be opened is tried again less and less
// often, and its loss is told once.
TEST_F(CapturerFake, ADeviceThatFailsToOpenIsTriedLessAndLessOften) {
  WASAPIAudioCapturer capturer;
  Sink sink;
  sink.Attach(capturer, 0);
  std::atomic<int> lost{0};
  capturer.SetLostCallback([&] { ++lost; });
  testsupport::LogCapture log;
  ASSERT_EQ(capturer.Init("Mic", "mic", 1), 0);
  ASSERT_EQ(capturer.Start(), 0);
  fake().FailCaptureOpens(1000);
  fake().PushPacket("mic", KindPacket(FakeAudioPacket::Kind::Invalidated, 480));
  for (int i = 0; i < 500 && !log.Contains("DoRecord failed"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  // Twenty seconds, one at a time, each seen by the capture thread.
  for (int64_t s = 1; s <= 20; ++s) {
    fake().AdvanceMs(1000);
    ASSERT_TRUE(sink.WaitFor([&](const Received& r) { return End(r) + 1000 >= 1000000000 + (s - 0.2) * 1e6; }));
  }
  capturer.Stop();
  const auto messages = log.Messages();
  const auto tries = std::count_if(messages.begin(), messages.end(), [](const std::string& m) {
    return m.find("restart to capture audio failed") != std::string::npos;
  });
  EXPECT_GE(tries, 2);
  EXPECT_LE(tries, 6);
  EXPECT_EQ(lost, 1);
}

// The device's clock runs 0.1 % slow against the system's: the timestamps
// follow it smoothly, and every sample is delivered.
TEST_F(CapturerFake, DriftIsFollowedWithoutJumpsOrLosses) {
  WASAPIAudioCapturer capturer;
  Sink sink;
  sink.Attach(capturer, 0);
  ASSERT_EQ(capturer.Init("Mic", "mic", 1), 0);
  ASSERT_EQ(capturer.Start(), 0);
  const int packets = 4000;
  for (int i = 1; i <= packets; ++i) {
    fake().SetNowMicroseconds(1000000000 + int64_t(i) * 10010);
    fake().PushPacket("mic", DataPacket(480, 0.5f));
    ASSERT_TRUE(sink.WaitFor(size_t(i)));
  }
  capturer.Stop();
  auto frames = sink.Frames();
  EXPECT_TRUE(Contiguous(frames));
  ASSERT_GE(frames.size(), size_t(packets));
  for (int i = 0; i < packets; ++i) ASSERT_EQ(frames[i].first, 0.5f) << i;
  EXPECT_NEAR(End(frames[packets - 1]), 1000000000 + int64_t(packets) * 10010, 5000);
}

// A device that tells each packet's time (a monitor's lies ahead: it is
// heard later) dates the sound by it, however late and unevenly it is read,
// also after a hiccup that lost 100 ms of sound.
TEST_F(CapturerFake, PacketsAreDatedByTheDevicesTime) {
  WASAPIAudioCapturer capturer;
  Sink sink;
  sink.Attach(capturer, 0);
  ASSERT_EQ(capturer.Init("Speakers", "spk", 0), 0);
  ASSERT_EQ(capturer.Start(), 0);
  const int packets = 50;
  for (int i = 0; i < packets; ++i) {
    const int64_t hiccup = i >= 25 ? 100000 : 0;
    fake().SetNowMicroseconds(1000000000 + int64_t(i) * 10000 + hiccup + (i % 3) * 7000);
    FakeAudioPacket p = DataPacket(480, 0.5f);
    p.timeUs = 1000000000 + 25000 + int64_t(i) * 10000 + hiccup;
    fake().PushPacket("spk", p);
    ASSERT_TRUE(sink.WaitFor([&](const std::vector<Received>& all) {
      return std::count_if(all.begin(), all.end(), [](const Received& r) { return !r.silent; }) > i;
    }));
  }
  capturer.Stop();
  auto frames = sink.Frames();
  EXPECT_TRUE(Contiguous(frames));
  EXPECT_EQ(frames.front().pts, 1000000000);
  std::vector<int64_t> sound;
  for (const Received& r : frames)
    if (!r.silent) sound.push_back(r.pts);
  ASSERT_EQ(sound.size(), size_t(packets));
  for (int i = 0; i < packets; ++i)
    EXPECT_EQ(sound[i], 1000000000 + 25000 + int64_t(i) * 10000 + (i >= 25 ? 100000 : 0)) << i;
}

TEST_F(CapturerFake, LoopbackKeepsPlayingSilenceAndWakesWithoutPackets) {
  WASAPIAudioCapturer capturer;
  ASSERT_EQ(capturer.Init("Speakers", "Default", 0), 0);
  const uint64_t prefill = fake().SilentFramesWritten();
  EXPECT_GT(prefill, 0u);
  // A full buffer must not end the render thread.
  fake().SetRenderPadding(1u << 30);
  ASSERT_EQ(capturer.Start(), 0);
  for (int i = 0; i < 500 && fake().RenderWaits() < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(fake().SilentFramesWritten(), prefill);
  fake().SetRenderPadding(0);
  for (int i = 0; i < 500 && fake().SilentFramesWritten() == prefill; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GT(fake().SilentFramesWritten(), prefill);
  // Nothing plays, yet the loopback thread keeps waking up.
  for (int i = 0; i < 500 && fake().CaptureTimeouts() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(fake().CaptureTimeouts(), 2);
  capturer.Stop();
}

TEST_F(CapturerFake, DefaultChangesRestartOnceAndKeepTheFormat) {
  WASAPIAudioCapturer capturer;
  Sink sink;
  sink.Attach(capturer, 1);
  ASSERT_EQ(capturer.Init("Speakers", "Default", 0), 0);
  ASSERT_EQ(capturer.Start(), 0);
  EXPECT_EQ(fake().OpenCount(), 1);

  // The new default runs at another rate and channel count.
  AudioMixFormat other;
  other.sampleRate = 44100;
  other.channels = 1;
  other.channelMask = 0x4;
  fake().SetEndpoints(AudioDirection::Render, {{"spk", "Speakers"}, {"hdmi", "HDMI"}});
  fake().SetMixFormat("hdmi", other);

  testsupport::LogCapture log;
  // Other flows and roles are not ours.
  fake().NotifyDefaultChanged(AudioDirection::Capture, AudioRole::Console, "mic");
  fake().NotifyDefaultChanged(AudioDirection::Render, AudioRole::Communications, "hdmi");
  fake().NotifyDefaultChanged(AudioDirection::Render, AudioRole::Console, "hdmi");
  fake().AdvanceMs(100);
  fake().NotifyDefaultChanged(AudioDirection::Render, AudioRole::Console, "hdmi");
  EXPECT_TRUE(log.Contains("reset device duration is shortter than 300"));
  for (int i = 0; i < 500 && !log.Contains("restart to capture audio successfully"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(log.Contains("restart to capture audio successfully"));
  EXPECT_EQ(fake().LastCaptureId(), "hdmi");

  // Frames from the new device still come as 48 kHz stereo float.
  fake().PushPacket("hdmi", DataPacket(4410, 0.5f, 1));
  ASSERT_TRUE(sink.WaitFor(1));
  capturer.Stop();
  EXPECT_EQ(fake().OpenCount(), 2);
  auto frames = sink.Frames();
  ASSERT_FALSE(frames.empty());
  int samples = 0;
  for (const auto& f : frames) {
    EXPECT_EQ(f.rate, 48000);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.format, AV_SAMPLE_FMT_FLT);
    EXPECT_EQ(f.bytes.size(), static_cast<size_t>(f.samples) * 8);
    samples += f.samples;
  }
  EXPECT_GT(samples, 4000);
  EXPECT_LE(samples, 4800);
  EXPECT_EQ(capturer.GetChannels(), 2);
  EXPECT_EQ(capturer.GetSampleRate(), 48000);
}

TEST_F(CapturerFake, StopAndDestructionDuringRestartsAreSafe) {
  for (int round = 0; round < 20; ++round) {
    auto capturer = std::make_unique<WASAPIAudioCapturer>();
    ASSERT_EQ(capturer->Init("Mic", "Default", 1), 0);
    ASSERT_EQ(capturer->Start(), 0);
    std::atomic<bool> done{false};
    std::thread notifier([&] {
      while (!done) {
        fake().AdvanceMs(400);
        fake().NotifyDefaultChanged(AudioDirection::Capture, AudioRole::Communications, "mic");
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
    if (round % 2)
      capturer->Stop();
    else
      capturer.reset();
    done = true;
    notifier.join();
    capturer.reset();
    EXPECT_EQ(fake().ListenerCount(), 0);
  }
}

TEST(CapturerPulse, LoopbackAndMicrophoneRecordTheirTones) {
  if (!testsupport::HavePulse()) GTEST_SKIP() << "no sound server";
  platform::Backend::Use(platform::BackendKind::X11);
  std::string id, name;
  ASSERT_EQ(GetDefaultRenderDevice(id, name), 0);
  EXPECT_EQ(id, "spk");

  struct Case {
    std::string id;
    int kind;
    std::string sink;
    double hz;
  };
  for (const Case& c : {Case{"spk", 0, "spk", 700}, Case{"Default", 1, "mic", 1100}}) {
    WASAPIAudioCapturer capturer;
    std::mutex mutex;
    std::vector<float> samples;
    capturer.SetCallbacks(
        [&](AVFrame* f, int) {
          if (!f) return;
          std::lock_guard<std::mutex> lock(mutex);
          const float* p = reinterpret_cast<const float*>(f->data[0]);
          samples.insert(samples.end(), p, p + f->nb_samples * f->ch_layout.nb_channels);
        },
        nullptr, 0);
    ASSERT_EQ(capturer.Init("x", c.id, c.kind), 0) << c.id;
    EXPECT_EQ(capturer.GetSampleRate(), 48000);
    EXPECT_EQ(capturer.GetChannels(), 2);
    EXPECT_EQ(capturer.GetSampleFormat(), AV_SAMPLE_FMT_FLT);
    ASSERT_EQ(capturer.Start(), 0);
    testsupport::TonePlayer tone(c.sink, c.hz, 1.5);
    tone.Join();
    capturer.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    // Look at the loudest half second.
    const size_t window = 48000 / 2 * 2;
    ASSERT_GT(samples.size(), window) << c.id;
    double best = 0, other = 0;
    for (size_t start = 0; start + window <= samples.size(); start += 4800 * 2) {
      std::vector<float> part(samples.begin() + start, samples.begin() + start + window);
      double a = testsupport::ToneAmplitude(part, 2, 48000, c.hz);
      if (a > best) {
        best = a;
        other = testsupport::ToneAmplitude(part, 2, 48000, c.hz == 700 ? 1100 : 700);
      }
    }
    EXPECT_NEAR(best, 0.5, 0.1) << c.id;
    EXPECT_LT(other, 0.05) << c.id;
  }
}
