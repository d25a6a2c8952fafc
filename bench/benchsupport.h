// What the recording benchmarks share: the test source (a full-screen window
// that flashes white while a beep plays, once a second, or shows a scene's
// numbered pictures), the analysis of a recorded file, and the measurement
// of child processes.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "scene.h"
#include "settings.h"

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr double kPulse = 0.1;  // flash and beep length, seconds

inline int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

// --- the test source ---

// The beep is played through the sound server, whose latency tells when
// each written sample is heard; flashes are timed from that, so that the
// pair is simultaneous however long the server buffers.
class Beeper {
 public:
  bool Start() {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 1};
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(40000, &spec));
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    m_player = pa_simple_new(nullptr, "record_bench", PA_STREAM_PLAYBACK, "spk", "beep", &spec,
                             nullptr, &attr, &error);
    if (!m_player) {
      fprintf(stderr, "cannot play: %s\n", pa_strerror(error));
      return false;
    }
    m_thread = std::thread([this] {
      const int chunk = kRate / 100;
      std::vector<float> samples(chunk);
      int64_t written = 0;
      int error = 0;
      while (m_playing) {
        for (int i = 0; i < chunk; ++i, ++written) {
          const double t = double(written) / kRate;
          samples[i] = std::fmod(t, 1.0) < kPulse ? 0.5f * std::sin(2 * M_PI * 1000 * t) : 0.0f;
        }
        if (pa_simple_write(m_player, samples.data(), samples.size() * sizeof(float), &error) < 0)
          break;
        const pa_usec_t latency = pa_simple_get_latency(m_player, &error);
        m_epoch = NowUs() + static_cast<int64_t>(latency) - written * 1000000 / kRate;
      }
    });
    return true;
  }
  ~Beeper() {
    m_playing = false;
    if (m_thread.joinable()) m_thread.join();
    if (m_player) pa_simple_free(m_player);
  }
  // Steady-clock microseconds at which sample 0 is heard; INT64_MIN until known.
  int64_t Epoch() const { return m_epoch; }

 private:
  pa_simple* m_player = nullptr;
  std::atomic<int64_t> m_epoch{INT64_MIN};
  std::atomic<bool> m_playing{true};
  std::thread m_thread;
};

// A black screen that flashes white while the beep plays. A bar moves along
// the bottom so that the screen changes at every refresh.
inline int RunFlashSource(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                              Qt::WindowStaysOnTopHint);
  window.setGeometry(0, 0, 1920, 1080);
  window.setAutoFillBackground(true);
  window.setStyleSheet("background: black");
  window.show();
  QWidget bar(&window);
  bar.setAutoFillBackground(true);
  bar.setStyleSheet("background: gray");
  bar.setGeometry(0, 1000, 40, 40);
  bar.show();
  Beeper beeper;
  if (!beeper.Start()) return 1;

  bool white = false;
  int64_t raised = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    const int64_t now = NowUs();
    // Kept above the recorders' own windows, so that each records the same
    // pictures.
    if (now - raised > 500000) {
      window.raise();
      raised = now;
    }
    bar.move(static_cast<int>(now / 1000 * 6 / 10) % 1880, 1000);
    const int64_t start = beeper.Epoch();
    if (start == INT64_MIN) return;
    const bool flash = now >= start && std::fmod((now - start) / 1e6, 1.0) < kPulse;
    if (flash != white) {
      white = flash;
      window.setStyleSheet(white ? "background: white" : "background: black");
      window.repaint();
    }
  });
  timer.start(2);
  return app.exec();
}

// Shows the scene's pictures in number order, on a grid of 1/fps from the
// moment the beep's first sample is heard (so that a flash starts with its
// beep), and logs each presented number and when ("number microseconds").
// A source late by a whole picture or more skips the numbers it missed.
class SceneWindow : public QWidget {
 public:
  SceneWindow(const Scene& scene, FILE* log)
      : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                             Qt::WindowStaysOnTopHint),
        m_scene(scene),
        m_log(log) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setGeometry(0, 0, kScreenWidth, kScreenHeight);
  }

  void Tick(int64_t epoch) {
    const int64_t now = NowUs();
    if (now - m_raised > 500000) {
      raise();
      m_raised = now;
    }
    if (epoch == INT64_MIN || now < epoch) return;
    const int64_t n = (now - epoch) * m_scene.fps() / 1000000;
    if (n <= m_shown) return;
    m_shown = n;
    repaint(m_scene.Changing());
    fprintf(m_log, "%lld %lld\n", static_cast<long long>(n), static_cast<long long>(NowUs()));
    fflush(m_log);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    m_scene.Paint(p, std::max<int64_t>(m_shown, 0));
  }

 private:
  const Scene& m_scene;
  FILE* m_log;
  int64_t m_shown = -1;
  int64_t m_raised = 0;
};

// argv: --source [content fps log]
inline int RunSource(int argc, char** argv) {
  if (argc < 5) return RunFlashSource(argc, argv);
  QApplication app(argc, argv);
  const Scene scene(ContentByName(argv[2]), atoi(argv[3]));
  FILE* log = fopen(argv[4], "w");
  if (!log) {
    perror(argv[4]);
    return 1;
  }
  Beeper beeper;
  if (!beeper.Start()) return 1;
  SceneWindow window(scene, log);
  window.show();
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, [&] { window.Tick(beeper.Epoch()); });
  timer.start(1);
  const int result = app.exec();
  fclose(log);
  return result;
}

// Runs the test source when asked ("--source"), else checks for the test
// services. The exit code, or -1 to go on.
inline int SourceOrServices(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--source") return RunSource(argc, argv);
  if (!getenv("DISPLAY") || !getenv("PULSE_SERVER")) {
    fprintf(stderr, "run inside the test services (scripts/test-env.sh)\n");
    return 1;
  }
  return -1;
}

// The whole monitor with loopback sound, pointer, no watermark or segments.
inline void UseRecordSettings(int fps, int qp, const std::string& folder) {
  Settings* s = Settings::Instance();
  s->SetRecordVideoframerate(fps);
  s->SetRecordRecordaudio(0);
  s->SetRecordRecordtype(RecordMode::Monitor);
  s->SetRecordRecordresolution(0);
  s->SetRecordFilesegment(0);
  s->SetRecordAudiofrequency(48000);
  s->SetRecordAudiobitrate(128);
  s->SetRecordQp(-qp);
  s->SetWatermarkText("");
  s->SetGeneralRecordmouse(true);
  s->SetGeneralFilesaveurl(QString::fromStdString(folder));
}

// --- analysis ---

struct Figures {
  bool ran = false;
  double cpuPerSecond = 0;
  long peakRssKb = 0;
  long idleRssKb = 0;  // before recording, where known
  int64_t frames = 0;
  double expectedFrames = 0;
  int firstSecondFrames = 0;  // frames in the file's first second
  int fewestLaterFrames = 0;  // fewest frames in any later whole second
  double intervalP99Ms = 0;
  double avOffsetMs = NAN;  // median over the flashes
  double avSpreadMs = NAN;  // largest less smallest offset
  double duration = 0;
  double audioSeconds = 0;  // decoded sound, all of it
  double megabytes = 0;
  double stopMs = NAN;  // stop request to finished file, where known
  // Video bytes, and those of the same pictures through libx264 veryfast at
  // the same quantiser (when asked for): the source's own pictures when
  // they are numbered, else the decoded ones.
  int64_t videoBytes = 0;
  int64_t referenceBytes = 0;
  // Flash times and their sound offsets, seconds.
  std::vector<std::pair<double, double>> offsets;
  std::vector<double> videoTimes;  // seconds, in order
  // Pictures of a numbered scene: those decoded and those without a number
  // that reads; of the numbers presented between the file's first and last,
  // those the file lacks (and of them those the source showed for less than
  // half a frame); pictures held a frame or more longer than the source
  // held them; luma PSNR of the numbered pictures against the source's
  // (all of the screen, and the part that changes).
  int64_t pictures = 0;
  int64_t unreadable = 0;
  int64_t presented = 0;
  int64_t missed = 0;
  int64_t missedBrief = 0;
  int64_t doubled = 0;
  double psnr = NAN;
  double changingPsnr = NAN;  // over the part of the screen that changes
  // The luma PSNR of the reference encoding, of the source's own pictures.
  double referencePsnr = NAN;
};

// A scene's numbered pictures to look for in a file: what the source
// presented (number, steady-clock microseconds) and the recording's rate.
struct Numbered {
  const Scene* scene = nullptr;
  std::map<int64_t, int64_t> presented;
  double recordFps = 30;
};

// The source's log ("number microseconds" a line).
inline std::map<int64_t, int64_t> ReadPresented(const std::string& path) {
  std::map<int64_t, int64_t> presented;
  FILE* log = fopen(path.c_str(), "r");
  if (!log) return presented;
  long long n = 0, us = 0;
  while (fscanf(log, "%lld %lld", &n, &us) == 2) presented[n] = us;
  fclose(log);
  return presented;
}

// pictures: (seconds, number or -1), in decoding order.
inline void CountPictures(const std::vector<std::pair<double, int64_t>>& pictures,
                          const Numbered& numbered, Figures* f) {
  f->pictures = static_cast<int64_t>(pictures.size());
  std::map<int64_t, double> firstSeen;  // number: its first picture's time
  for (const auto& [t, n] : pictures) {
    if (n < 0) {
      ++f->unreadable;
      continue;
    }
    if (!firstSeen.count(n)) firstSeen[n] = t;
  }
  if (firstSeen.empty()) return;
  const int64_t first = firstSeen.begin()->first;
  const int64_t last = firstSeen.rbegin()->first;
  const auto& presented = numbered.presented;
  const double frameUs = 1e6 / numbered.recordFps;
  for (auto it = presented.lower_bound(first); it != presented.end() && it->first <= last; ++it) {
    ++f->presented;
    if (firstSeen.count(it->first)) continue;
    ++f->missed;
    const auto next = std::next(it);
    if (next != presented.end() && next->second - it->second < frameUs / 2) ++f->missedBrief;
  }
  // Each number against the next one the file shows.
  for (auto it = firstSeen.begin(); it != firstSeen.end(); ++it) {
    const auto next = std::next(it);
    if (next == firstSeen.end()) break;
    const auto a = presented.find(it->first);
    const auto b = presented.find(next->first);
    if (a == presented.end() || b == presented.end()) continue;
    const double heldUs = 1e6 * (next->second - it->second);
    if (heldUs - double(b->second - a->second) >= frameUs / 2) ++f->doubled;
  }
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// libx264 veryfast, one thread, constant quantiser: the size reference.
// Given the source's own pictures, it also decodes what it made and
// compares the luma with them.
struct ReferenceEncoder {
  AVCodecContext* context = nullptr;
  AVCodecContext* decoder = nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* decoded = av_frame_alloc();
  std::deque<AVFrame*> pending;  // pictures sent, not yet decoded back
  int64_t bytes = 0;
  double mseSum = 0;
  int64_t mseCount = 0;
  ~ReferenceEncoder() {
    avcodec_free_context(&context);
    avcodec_free_context(&decoder);
    av_packet_free(&packet);
    av_frame_free(&decoded);
    for (AVFrame* f : pending) av_frame_free(&f);
  }
  void Add(const AVFrame* frame, int qp, bool compare = false) {
    if (!context) {
      const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
      if (!codec) return;
      context = avcodec_alloc_context3(codec);
      context->width = frame->width;
      context->height = frame->height;
      context->pix_fmt = static_cast<AVPixelFormat>(frame->format);
      context->time_base = AVRational{1, 1000};
      context->thread_count = 1;
      context->max_b_frames = 0;
      context->gop_size = 2500;  // as the recorder's
      AVDictionary* options = nullptr;
      av_dict_set(&options, "preset", "veryfast", 0);
      av_dict_set(&options, "tune", "zerolatency", 0);
      av_dict_set_int(&options, "qp", qp, 0);
      if (avcodec_open2(context, codec, &options) < 0) avcodec_free_context(&context);
      av_dict_free(&options);
      if (!context) return;
    }
    AVFrame* copy = frame ? av_frame_clone(frame) : nullptr;
    if (copy) {
      copy->pts = ++count;
      copy->pict_type = AV_PICTURE_TYPE_NONE;
      if (compare) pending.push_back(av_frame_clone(copy));
    }
    avcodec_send_frame(context, copy);
    av_frame_free(&copy);
    Drain();
  }
  void Flush() {
    if (!context) return;
    avcodec_send_frame(context, nullptr);
    Drain();
    if (decoder) {
      avcodec_send_packet(decoder, nullptr);
      Compare();
    }
  }
  int64_t count = 0;

 private:
  void Drain() {
    while (avcodec_receive_packet(context, packet) == 0) {
      bytes += packet->size;
      if (!pending.empty()) {
        if (!decoder) {
          const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
          decoder = avcodec_alloc_context3(codec);
          decoder->thread_count = 1;
          if (avcodec_open2(decoder, codec, nullptr) < 0) avcodec_free_context(&decoder);
        }
        if (decoder && avcodec_send_packet(decoder, packet) >= 0) Compare();
      }
      av_packet_unref(packet);
    }
  }
  void Compare() {
    while (avcodec_receive_frame(decoder, decoded) == 0) {
      if (!pending.empty()) {
        AVFrame* source = pending.front();
        pending.pop_front();
        const double mse = LumaMse(decoded, source);
        if (mse >= 0) {
          mseSum += mse;
          ++mseCount;
        }
        av_frame_free(&source);
      }
      av_frame_unref(decoded);
    }
  }
};

// referenceQp > 0: also encodes the pictures as the size reference.
// numbered: also reads the pictures' numbers and compares them with the
// source's.
inline void Analyse(const std::string& path, double fps, Figures* f, int referenceQp = 0,
                    const Numbered* numbered = nullptr) {
  ReferenceEncoder reference;
  std::vector<std::pair<double, int64_t>> pictures;
  SourceConverter converter;
  AVFrame* source = nullptr;  // the source's picture of sourceNumber
  int64_t sourceNumber = -1;
  double mseSum = 0;
  double changingMseSum = 0;
  int64_t mseCount = 0;
  std::error_code ec;
  f->megabytes = std::filesystem::file_size(path, ec) / 1e6;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return;
  f->ran = true;
  avformat_find_stream_info(format, nullptr);
  f->duration = format->duration / double(AV_TIME_BASE);
  std::vector<AVCodecContext*> decoders(format->nb_streams, nullptr);
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodec* codec = avcodec_find_decoder(format->streams[i]->codecpar->codec_id);
    if (!codec) continue;
    decoders[i] = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoders[i], format->streams[i]->codecpar);
    decoders[i]->pkt_timebase = format->streams[i]->time_base;
    decoders[i]->thread_count = 4;
    avcodec_open2(decoders[i], codec, nullptr);
  }
  std::vector<double> videoTimes;
  std::vector<double> flashes;
  std::vector<double> beeps;
  // An onset counts after 0.3 s without flash (or sound): a beep broken by
  // an underrun is one beep. A file that starts in a flash or beep has no
  // onset there.
  double lastWhite = -1e9;
  double lastLoud = -1e9;
  bool sawDark = false;
  bool sawQuiet = false;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&](unsigned index) {
    AVStream* st = format->streams[index];
    while (avcodec_receive_frame(decoders[index], frame) == 0) {
      const double t = frame->best_effort_timestamp * av_q2d(st->time_base);
      if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        videoTimes.push_back(t);
        if (referenceQp > 0 && !numbered) reference.Add(frame, referenceQp);
        if (numbered) {
          const Scene& scene = *numbered->scene;
          const int64_t n = ReadNumber(frame, scene);
          pictures.emplace_back(t, n);
          if (n >= 0) {
            if (n != sourceNumber) {
              av_frame_free(&source);
              source = converter.Convert(frame, scene.Picture(n));
              sourceNumber = n;
            }
            const double mse = source ? LumaMse(frame, source) : -1;
            if (mse >= 0) {
              mseSum += mse;
              changingMseSum += LumaMse(frame, source, scene.Changing());
              ++mseCount;
            }
            // The reference encodes the source's own pictures, those the file holds.
            if (source && referenceQp > 0) reference.Add(source, referenceQp, true);
          }
        }
        int64_t sum = 0;
        int n = 0;
        for (int y = 0; y < frame->height; y += 16)
          for (int x = 0; x < frame->width; x += 16, ++n)
            sum += frame->data[0][y * frame->linesize[0] + x];
        const bool white = n > 0 && sum / n > 128;
        if (white && sawDark && t - lastWhite > 0.3) flashes.push_back(t);
        if (white) lastWhite = t;
        sawDark = sawDark || !white;
      } else if (frame->format == AV_SAMPLE_FMT_FLTP) {
        f->audioSeconds += double(frame->nb_samples) / frame->sample_rate;
        const float* s = reinterpret_cast<const float*>(frame->extended_data[0]);
        const int window = frame->sample_rate / 1000;  // 1 ms
        for (int i = 0; i + window <= frame->nb_samples; i += window) {
          double e = 0;
          for (int k = 0; k < window; ++k) e += s[i + k] * s[i + k];
          const bool loud = std::sqrt(e / window) > 0.1;
          const double at = t + double(i) / frame->sample_rate;
          if (loud && sawQuiet && at - lastLoud > 0.3) beeps.push_back(at);
          if (loud) lastLoud = at;
          sawQuiet = sawQuiet || !loud;
        }
      }
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(format, packet) >= 0) {
    const unsigned i = packet->stream_index;
    if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) f->videoBytes += packet->size;
    if (i < decoders.size() && decoders[i] && avcodec_send_packet(decoders[i], packet) >= 0)
      drain(i);
    av_packet_unref(packet);
  }
  for (unsigned i = 0; i < decoders.size(); ++i)
    if (decoders[i]) {
      avcodec_send_packet(decoders[i], nullptr);
      drain(i);
      avcodec_free_context(&decoders[i]);
    }
  av_frame_free(&frame);
  av_frame_free(&source);
  av_packet_free(&packet);
  avformat_close_input(&format);
  if (referenceQp > 0) {
    reference.Flush();
    f->referenceBytes = reference.bytes;
    if (reference.mseCount > 0) f->referencePsnr = Psnr(reference.mseSum / reference.mseCount);
  }

  if (numbered) {
    std::stable_sort(pictures.begin(), pictures.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    CountPictures(pictures, *numbered, f);
    if (mseCount > 0) {
      f->psnr = Psnr(mseSum / mseCount);
      f->changingPsnr = Psnr(changingMseSum / mseCount);
    }
  }
  std::sort(videoTimes.begin(), videoTimes.end());
  f->videoTimes = videoTimes;
  f->frames = static_cast<int64_t>(videoTimes.size());
  f->expectedFrames = fps * f->duration;
  std::vector<double> intervals;
  for (size_t i = 1; i < videoTimes.size(); ++i)
    intervals.push_back(videoTimes[i] - videoTimes[i - 1]);
  if (!intervals.empty()) {
    std::sort(intervals.begin(), intervals.end());
    f->intervalP99Ms =
        1000 * intervals[std::min(intervals.size() - 1, intervals.size() * 99 / 100)];
  }
  if (!videoTimes.empty()) {
    const double first = videoTimes.front();
    const int seconds = static_cast<int>(videoTimes.back() - first);
    std::vector<int> perSecond(static_cast<size_t>(seconds) + 1, 0);
    for (double t : videoTimes) ++perSecond[std::min<size_t>(size_t(t - first), perSecond.size() - 1)];
    f->firstSecondFrames = perSecond[0];
    f->fewestLaterFrames = INT_MAX;
    for (int s = 1; s < seconds; ++s) f->fewestLaterFrames = std::min(f->fewestLaterFrames, perSecond[s]);
    if (f->fewestLaterFrames == INT_MAX) f->fewestLaterFrames = 0;
  }
  std::vector<double> values;
  for (double flash : flashes) {
    double best = 1e9;
    for (double beep : beeps)
      if (std::fabs(beep - flash) < std::fabs(best)) best = beep - flash;
    if (std::fabs(best) < 0.4) {
      f->offsets.emplace_back(flash, best);
      values.push_back(best);
    }
  }
  if (!values.empty()) {
    f->avOffsetMs = 1000 * Median(values);
    f->avSpreadMs = 1000 * (*std::max_element(values.begin(), values.end()) -
                            *std::min_element(values.begin(), values.end()));
  }
}

// --- processes ---

inline double CpuSeconds(const rusage& r) {
  return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec +
         r.ru_stime.tv_usec / 1e6;
}

// A line of /proc/PID/status in kB ("VmHWM", "VmRSS"); 0 when gone.
inline long StatusKb(pid_t pid, const char* field) {
  FILE* status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!status) return 0;
  char line[256];
  long kb = 0;
  const std::string pattern = std::string(field) + ": %ld";
  while (fgets(line, sizeof line, status))
    if (sscanf(line, pattern.c_str(), &kb) == 1) break;
  fclose(status);
  return kb;
}

// User and system seconds of a running process.
inline double ProcessCpuSeconds(pid_t pid) {
  FILE* stat = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!stat) return 0;
  char buffer[1024] = {0};
  const size_t n = fread(buffer, 1, sizeof buffer - 1, stat);
  fclose(stat);
  buffer[n] = 0;
  const char* p = strrchr(buffer, ')');
  if (!p) return 0;
  unsigned long utime = 0, stime = 0;
  // Fields after the name: state, then 10 numbers, then utime and stime.
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
    return 0;
  return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

// User and system seconds of a process and of all its descendants (the
// ended ones it waited for included), leaving out the subtree at `except`.
inline double TreeCpuSeconds(pid_t root, pid_t except = 0) {
  struct Entry {
    pid_t parent;
    double seconds;
  };
  std::vector<std::pair<pid_t, Entry>> all;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !isdigit(static_cast<unsigned char>(name[0]))) continue;
    FILE* stat = fopen((entry.path() / "stat").c_str(), "r");
    if (!stat) continue;
    char buffer[1024] = {0};
    const size_t n = fread(buffer, 1, sizeof buffer - 1, stat);
    fclose(stat);
    buffer[n] = 0;
    const char* p = strrchr(buffer, ')');
    if (!p) continue;
    int parent = 0;
    unsigned long utime = 0, stime = 0;
    long cutime = 0, cstime = 0;
    if (sscanf(p + 2, "%*c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %ld %ld", &parent,
               &utime, &stime, &cutime, &cstime) != 5)
      continue;
    all.push_back({static_cast<pid_t>(atoi(name.c_str())),
                   {parent, double(utime + stime + cutime + cstime) / sysconf(_SC_CLK_TCK)}});
  }
  std::vector<pid_t> tree{root};
  double seconds = 0;
  for (size_t i = 0; i < tree.size(); ++i)
    for (const auto& [pid, e] : all) {
      if (pid == tree[i]) seconds += e.seconds;
      if (e.parent == tree[i] && pid != except) tree.push_back(pid);
    }
  return seconds;
}

// A spawned child in its own process group, so that nothing it starts is
// left behind; stdin is a pipe when asked for.
struct Child {
  pid_t pid = 0;
  int input = -1;

  // output: a file for its standard output and error, when given.
  bool Start(const std::vector<std::string>& args, bool withInput = false,
             const std::string& output = {}) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (withInput) {
      if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
      posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    }
    if (!output.empty()) {
      posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const int r = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (withInput) {
      close(pipeFds[0]);
      input = pipeFds[1];
    }
    if (r != 0) {
      pid = 0;
      return false;
    }
    return true;
  }

  void Write(const char* text) {
    if (input >= 0 && write(input, text, strlen(text)) < 0) perror("write");
  }

  // Waits for the end, sampling the peak RSS; ends the group after
  // timeoutMs. Returns the child's usage.
  rusage Wait(long* peakKb, int timeoutMs = 60000) {
    rusage usage{};
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool killed = false;
    while (pid > 0 && wait4(pid, &status, WNOHANG, &usage) == 0) {
      if (peakKb) *peakKb = std::max(*peakKb, StatusKb(pid, "VmHWM"));
      if (!killed && Clock::now() > deadline) {
        fprintf(stderr, "process %d did not end, killed\n", pid);
        kill(-pid, SIGKILL);
        killed = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Whatever it started goes too.
    if (pid > 0) kill(-pid, SIGKILL);
    if (input >= 0) close(input);
    input = -1;
    pid = 0;
    return usage;
  }
};

// Starts the test source showing the scene, logging what it presents.
inline void StartSource(Child* source, const char* program, Content content, int fps,
                        const std::string& log) {
  source->Start({program, "--source", ContentName(content), std::to_string(fps), log});
  std::this_thread::sleep_for(std::chrono::seconds(3));
}

// Starts the test source, a second copy of this program. Its sound starts
// playing about 1.5 s later, and only from then on do its flashes keep to
// the sound: the first recording waits for that.
inline void StartSource(Child* source, const char* program) {
  source->Start({program, "--source"});
  std::this_thread::sleep_for(std::chrono::seconds(3));
}

}  // namespace bench
