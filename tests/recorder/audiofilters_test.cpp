#include <gtest/gtest.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "recorder/audiomixer.h"
#include "recorder/filteraresample.h"
#include "recorder/wasapiaudiocapturer.h"
#include "support/audiotools.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

namespace {

AudioStreamFormat Source(int rate, int channels = 2, uint64_t layout = 0) {
  return {AVRational{1, 1000000}, rate, AV_SAMPLE_FMT_FLT, channels, layout};
}

AudioStreamFormat Target() { return {AVRational{1, 1000000}, 48000, AV_SAMPLE_FMT_FLTP, 2, AV_CH_LAYOUT_STEREO}; }

// Packed float stereo sine frames of `frames` samples, pts in microseconds.
class ToneSource {
 public:
  ToneSource(int rate, double hz, float amplitude) : m_rate(rate), m_hz(hz), m_amplitude(amplitude) {}
  AVFrame* Next(int frames) {
    AVFrame* f = av_frame_alloc();
    f->format = AV_SAMPLE_FMT_FLT;
    f->sample_rate = m_rate;
    f->nb_samples = frames;
    av_channel_layout_default(&f->ch_layout, 2);
    f->pts = m_pos * 1000000 / m_rate;
    av_frame_get_buffer(f, 0);
    float* p = reinterpret_cast<float*>(f->data[0]);
    for (int i = 0; i < frames; ++i, ++m_pos)
      p[2 * i] = p[2 * i + 1] = m_amplitude * static_cast<float>(std::sin(2 * M_PI * m_hz * m_pos / m_rate));
    return f;
  }

 private:
  int m_rate;
  double m_hz;
  float m_amplitude;
  int64_t m_pos = 0;
};

// Collects planar float output (channel 0 only, as interleaved mono).
struct Collector {
  std::mutex mutex;
  std::vector<float> left;
  int format = -1, rate = 0, channels = 0, index = -99;
  int64_t firstPts = AV_NOPTS_VALUE;
  bool unbroken = true;  // each frame's time follows the one before
  void operator()(AVFrame* f, int i) {
    std::lock_guard<std::mutex> lock(mutex);
    if (left.empty()) firstPts = f->pts;
    unbroken = unbroken && f->pts == firstPts + int64_t(left.size());
    format = f->format;
    rate = f->sample_rate;
    channels = f->ch_layout.nb_channels;
    index = i;
    const float* p = reinterpret_cast<const float*>(f->data[0]);
    left.insert(left.end(), p, p + f->nb_samples);
  }
  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex);
    return left.size();
  }
  bool WaitFor(size_t n) {
    for (int i = 0; i < 500 && Size() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Size() >= n;
  }
};

}  // namespace

TEST(AudioFilterText, DescriptionsAndSourceArguments) {
  EXPECT_EQ(BuildAresampleDescription(Target()), "aresample=48000,aformat=sample_fmts=fltp:channel_layouts=stereo");
  char args[512];
  FormatAbufferArgs(args, sizeof(args), Source(44100));
  EXPECT_STREQ(args, "time_base=1/1000000:sample_rate=44100:sample_fmt=flt:channel_layout=0x3");
  // The capturer's own layout is kept, not the default of the count.
  FormatAbufferArgs(args, sizeof(args), Source(48000, 6, 0x3F));
  EXPECT_STREQ(args, "time_base=1/1000000:sample_rate=48000:sample_fmt=flt:channel_layout=0x3f");
  FormatAbufferArgs(args, sizeof(args), Source(48000, 3, 0x0B));
  EXPECT_STREQ(args, "time_base=1/1000000:sample_rate=48000:sample_fmt=flt:channel_layout=0xb");
  char tiny[8];
  FormatAbufferArgs(tiny, sizeof(tiny), Source(48000));
  EXPECT_EQ(std::string(tiny), "time_ba");
}

TEST(Resampler, ConvertsASourceIntoTheTargetFormat) {
  filter_aresample resampler;
  testsupport::LogCapture log;
  AVFrame* early = av_frame_alloc();
  EXPECT_EQ(resampler.AddFrame(early), -1);
  EXPECT_EQ(resampler.Start(), -1);
  EXPECT_TRUE(log.Contains("fiter aresample start failed since it's not inited"));

  // A layout that does not fit the channel count still gives a usable graph.
  ASSERT_EQ(resampler.Init(Source(44100, 6, 0x3F), Target(), 1), 0);
  EXPECT_TRUE(log.Contains("aresample inits successfully"));
  resampler.Release();
  ASSERT_EQ(resampler.Init(Source(44100), Target(), 1), 0);
  EXPECT_EQ(resampler.Init(Source(44100), Target(), 1), 0);
  EXPECT_TRUE(log.Contains("filter aresample has inited"));
  Collector out;
  resampler.SetCallbacks(std::ref(out), nullptr);
  ASSERT_EQ(resampler.Start(), 0);
  EXPECT_EQ(resampler.Start(), 0);
  ToneSource tone(44100, 1000, 0.5f);
  for (int i = 0; i < 100; ++i) {
    AVFrame* f = tone.Next(441);
    EXPECT_EQ(resampler.AddFrame(f), 0);
    av_frame_free(&f);
  }
  ASSERT_TRUE(out.WaitFor(40000));
  resampler.Stop();
  EXPECT_EQ(out.format, AV_SAMPLE_FMT_FLTP);
  EXPECT_EQ(out.rate, 48000);
  EXPECT_EQ(out.channels, 2);
  EXPECT_EQ(out.index, 1);
  EXPECT_LE(out.left.size(), 48000u);
  std::vector<float> part(out.left.begin() + 4800, out.left.begin() + 4800 + 24000);
  EXPECT_NEAR(testsupport::ToneAmplitude(part, 1, 48000, 1000), 0.5, 0.02);
  EXPECT_EQ(resampler.GetTimeBase().den, 48000);
  av_frame_free(&early);
}

TEST(Mixer, RefusesBadInputsAndMixesBothTones) {
  testsupport::LogCapture log;
  AudioMixer mixer;
  ToneSource a(48000, 1000, 0.3f), b(44100, 1500, 0.3f);
  AVFrame* f = a.Next(480);
  EXPECT_EQ(mixer.AddFrame(f, 0), -1);
  EXPECT_TRUE(log.Contains("audio mixer doesn't init or run"));
  EXPECT_EQ(mixer.Start(), -1);
  ASSERT_EQ(mixer.Init(Source(48000), Source(44100), Target()), 0);
  Collector out;
  mixer.SetCallbacks(std::ref(out), nullptr);
  ASSERT_EQ(mixer.Start(), 0);
  EXPECT_EQ(mixer.AddFrame(f, 2), -1);
  EXPECT_TRUE(log.Contains("add frame failed"));
  av_frame_free(&f);
  for (int i = 0; i < 50; ++i) {
    AVFrame* fa = a.Next(480);
    AVFrame* fb = b.Next(441);
    EXPECT_EQ(mixer.AddFrame(fa, 0), 0);
    EXPECT_EQ(mixer.AddFrame(fb, 1), 0);
    av_frame_free(&fa);
    av_frame_free(&fb);
  }
  ASSERT_TRUE(out.WaitFor(19200));
  {
    std::lock_guard<std::mutex> lock(out.mutex);
    EXPECT_EQ(out.index, -1);
    EXPECT_EQ(out.format, AV_SAMPLE_FMT_FLTP);
    std::vector<float> part(out.left.begin() + 2400, out.left.begin() + 2400 + 14400);
    double one = testsupport::ToneAmplitude(part, 1, 48000, 1000);
    double two = testsupport::ToneAmplitude(part, 1, 48000, 1500);
    EXPECT_GT(one, 0.1);
    EXPECT_GT(two, 0.1);
    EXPECT_NEAR(one, two, 0.05);
  }

  // Either source may end without ending the mix: here the first one, and
  // the second keeps coming through.
  const size_t before = out.Size();
  EXPECT_EQ(mixer.AddFrame(nullptr, 0), 0);
  for (int i = 0; i < 50; ++i) {
    AVFrame* fb = b.Next(441);
    EXPECT_EQ(mixer.AddFrame(fb, 1), 0);
    av_frame_free(&fb);
  }
  EXPECT_TRUE(out.WaitFor(before + 19200));
  AVFrame* late = a.Next(480);
  EXPECT_EQ(mixer.AddFrame(late, 0), -1);
  av_frame_free(&late);
  mixer.Stop();
  EXPECT_EQ(mixer.Start(), -1);  // the mixer is released by Stop
}

// Packed float stereo frames of one value.
AVFrame* Level(float value, int frames, int64_t pts) {
  AVFrame* f = av_frame_alloc();
  f->format = AV_SAMPLE_FMT_FLT;
  f->sample_rate = 48000;
  f->nb_samples = frames;
  av_channel_layout_default(&f->ch_layout, 2);
  f->pts = pts;
  av_frame_get_buffer(f, 0);
  std::fill_n(reinterpret_cast<float*>(f->data[0]), frames * 2, value);
  return f;
}

// The first input starts 100 ms after the second and loses 100 ms on the
// way (a hiccup): its sound is heard where its timestamps put it. It ends
// first, and the mix goes on in one unbroken stream.
TEST(Mixer, PlacesEachInputByItsTimestamps) {
  AudioMixer mixer;
  ASSERT_EQ(mixer.Init(Source(48000), Source(48000), Target()), 0);
  Collector out;
  mixer.SetCallbacks(std::ref(out), nullptr);
  ASSERT_EQ(mixer.Start(), 0);
  const int64_t t0 = 1000000000;
  for (int i = 0; i < 100; ++i) {
    AVFrame* quiet = Level(0.0f, 480, t0 + i * 10000);
    EXPECT_EQ(mixer.AddFrame(quiet, 1), 0);
    av_frame_free(&quiet);
    if (i < 40) {
      AVFrame* loud = Level(0.5f, 480, t0 + 100000 + (i < 20 ? i : i + 10) * 10000);
      EXPECT_EQ(mixer.AddFrame(loud, 0), 0);
      av_frame_free(&loud);
    }
  }
  mixer.AddFrame(nullptr, 0);
  mixer.AddFrame(nullptr, 1);
  ASSERT_TRUE(out.WaitFor(48000));
  mixer.Stop();
  std::lock_guard<std::mutex> lock(out.mutex);
  // The mix keeps the inputs' clock.
  EXPECT_EQ(out.firstPts * 1000000 / out.rate, t0);
  EXPECT_TRUE(out.unbroken);
  auto loudFrom = [&](size_t from) {
    for (size_t i = from; i < out.left.size(); ++i)
      if (std::fabs(out.left[i]) > 0.1f) return i;
    return out.left.size();
  };
  auto quietFrom = [&](size_t from) {
    for (size_t i = from; i < out.left.size(); ++i)
      if (std::fabs(out.left[i]) < 0.1f) return i;
    return out.left.size();
  };
  const size_t on = loudFrom(0), off = quietFrom(on), again = loudFrom(off), end = quietFrom(again);
  EXPECT_NEAR(double(on), 4800, 48);
  EXPECT_NEAR(double(off), 14400, 48);
  EXPECT_NEAR(double(again), 19200, 48);
  EXPECT_NEAR(double(end), 28800, 48);
}

TEST(Mixer, RealLoopbackAndMicrophoneMixTogether) {
  if (!testsupport::HavePulse()) GTEST_SKIP() << "no sound server";
  platform::Backend::Use(platform::BackendKind::X11);
  WASAPIAudioCapturer speaker, mic;
  ASSERT_EQ(speaker.Init("spk", "Default", 0), 0);
  ASSERT_EQ(mic.Init("mic", "Default", 1), 0);
  auto formatOf = [](AudioCapturer& c) {
    return AudioStreamFormat{c.GetTimeBase(), c.GetSampleRate(), c.GetSampleFormat(), c.GetChannels(),
                             c.GetChannelLayout()};
  };
  AudioMixer mixer;
  ASSERT_EQ(mixer.Init(formatOf(speaker), formatOf(mic), Target()), 0);
  Collector out;
  mixer.SetCallbacks(std::ref(out), nullptr);
  ASSERT_EQ(mixer.Start(), 0);
  speaker.SetCallbacks([&](AVFrame* f, int i) { mixer.AddFrame(f, i); }, nullptr, 0);
  mic.SetCallbacks([&](AVFrame* f, int i) { mixer.AddFrame(f, i); }, nullptr, 1);
  ASSERT_EQ(speaker.Start(), 0);
  ASSERT_EQ(mic.Start(), 0);
  {
    testsupport::TonePlayer one("spk", 1000, 1.5, 0.4f);
    testsupport::TonePlayer two("mic", 1500, 1.5, 0.4f);
  }
  speaker.Stop();
  mic.Stop();
  mixer.Stop();
  std::lock_guard<std::mutex> lock(out.mutex);
  const size_t window = 24000;
  ASSERT_GT(out.left.size(), window);
  double bestOne = 0, bestTwo = 0;
  for (size_t start = 0; start + window <= out.left.size(); start += 4800) {
    std::vector<float> part(out.left.begin() + start, out.left.begin() + start + window);
    bestOne = std::max(bestOne, testsupport::ToneAmplitude(part, 1, 48000, 1000));
    bestTwo = std::max(bestTwo, testsupport::ToneAmplitude(part, 1, 48000, 1500));
  }
  EXPECT_GT(bestOne, 0.1);
  EXPECT_GT(bestTwo, 0.1);
}
