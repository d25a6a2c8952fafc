// Records the X display with loopback sound through the recorder and through
// `ffmpeg -f x11grab -f pulse`, in the same run, and prints both sets of
// figures. A second copy of this program is the test source: a full-screen
// window that flashes white while a beep plays, once a second.
//
// Run inside the test services: source scripts/test-env.sh && start_test_services
//   build/record_bench [seconds]

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QApplication>
#include <QCoreApplication>
#include <QProcess>
#include <QTimer>
#include <QWidget>

#include <pulse/error.h>
#include <pulse/simple.h>

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
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/backend.h"
#include "recorder/recorder.h"
#include "settings.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr double kPulse = 0.1;  // flash and beep length, seconds

// --- the test source ---

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

// The beep is played through the sound server, whose latency tells when
// each written sample is heard; the flash is timed from that, so that the
// pair is simultaneous however long the server buffers.
int RunSource(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                              Qt::WindowStaysOnTopHint);
  window.setGeometry(0, 0, 1920, 1080);
  window.setAutoFillBackground(true);
  window.setStyleSheet("background: black");
  window.show();
  // Moving content, so that the screen changes at every refresh.
  QWidget bar(&window);
  bar.setAutoFillBackground(true);
  bar.setStyleSheet("background: gray");
  bar.setGeometry(0, 1000, 40, 40);
  bar.show();

  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 1};
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(40000, &spec));
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(-1);
  int error = 0;
  pa_simple* player = pa_simple_new(nullptr, "record_bench", PA_STREAM_PLAYBACK, "spk", "beep",
                                    &spec, nullptr, &attr, &error);
  if (!player) {
    fprintf(stderr, "cannot play: %s\n", pa_strerror(error));
    return 1;
  }
  // Steady-clock microseconds at which sample 0 is heard.
  std::atomic<int64_t> epoch{INT64_MIN};
  std::atomic<bool> playing{true};
  std::thread audio([&] {
    const int chunk = kRate / 100;
    std::vector<float> samples(chunk);
    int64_t written = 0;
    while (playing) {
      for (int i = 0; i < chunk; ++i, ++written) {
        const double t = double(written) / kRate;
        samples[i] = std::fmod(t, 1.0) < kPulse ? 0.5f * std::sin(2 * M_PI * 1000 * t) : 0.0f;
      }
      if (pa_simple_write(player, samples.data(), samples.size() * sizeof(float), &error) < 0) break;
      const pa_usec_t latency = pa_simple_get_latency(player, &error);
      epoch = NowUs() + static_cast<int64_t>(latency) - written * 1000000 / kRate;
    }
  });

  bool white = false;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    const int64_t now = NowUs();
    bar.move(static_cast<int>(now / 1000 * 6 / 10) % 1880, 1000);
    const int64_t start = epoch;
    if (start == INT64_MIN) return;
    const bool flash = now >= start && std::fmod((now - start) / 1e6, 1.0) < kPulse;
    if (flash != white) {
      white = flash;
      window.setStyleSheet(white ? "background: white" : "background: black");
      window.repaint();
    }
  });
  timer.start(2);
  const int result = app.exec();
  playing = false;
  audio.join();
  pa_simple_free(player);
  return result;
}

// --- analysis ---

struct Figures {
  double cpuPerSecond = 0;
  long peakRssKb = 0;
  int64_t frames = 0;
  double expectedFrames = 0;
  double intervalP99Ms = 0;
  double avOffsetMs = NAN;
  double duration = 0;
  double audioSeconds = 0;  // decoded sound, all of it
};

void Analyse(const std::string& path, double fps, Figures* f) {
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return;
  avformat_find_stream_info(format, nullptr);
  f->duration = format->duration / double(AV_TIME_BASE);
  std::vector<AVCodecContext*> decoders(format->nb_streams, nullptr);
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodec* codec = avcodec_find_decoder(format->streams[i]->codecpar->codec_id);
    if (!codec) continue;
    decoders[i] = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoders[i], format->streams[i]->codecpar);
    decoders[i]->pkt_timebase = format->streams[i]->time_base;
    avcodec_open2(decoders[i], codec, nullptr);
  }
  std::vector<double> videoTimes;
  std::vector<double> flashes;
  std::vector<double> beeps;
  // An onset counts after 0.3 s without flash (or sound): a beep broken by
  // an underrun is one beep.
  double lastWhite = -1e9;
  double lastLoud = -1e9;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&](unsigned index) {
    AVStream* st = format->streams[index];
    while (avcodec_receive_frame(decoders[index], frame) == 0) {
      const double t = frame->best_effort_timestamp * av_q2d(st->time_base);
      if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        videoTimes.push_back(t);
        int64_t sum = 0;
        int n = 0;
        for (int y = 0; y < frame->height; y += 16)
          for (int x = 0; x < frame->width; x += 16, ++n) sum += frame->data[0][y * frame->linesize[0] + x];
        const bool white = n > 0 && sum / n > 128;
        if (white && t - lastWhite > 0.3) flashes.push_back(t);
        if (white) lastWhite = t;
      } else if (frame->format == AV_SAMPLE_FMT_FLTP) {
        f->audioSeconds += double(frame->nb_samples) / frame->sample_rate;
        const float* s = reinterpret_cast<const float*>(frame->extended_data[0]);
        // 1 ms windows.
        const int window = frame->sample_rate / 1000;
        for (int i = 0; i + window <= frame->nb_samples; i += window) {
          double e = 0;
          for (int k = 0; k < window; ++k) e += s[i + k] * s[i + k];
          const bool loud = std::sqrt(e / window) > 0.1;
          const double at = t + double(i) / frame->sample_rate;
          if (loud && at - lastLoud > 0.3) beeps.push_back(at);
          if (loud) lastLoud = at;
        }
      }
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(format, packet) >= 0) {
    const unsigned i = packet->stream_index;
    if (i < decoders.size() && decoders[i] && avcodec_send_packet(decoders[i], packet) >= 0) drain(i);
    av_packet_unref(packet);
  }
  for (unsigned i = 0; i < decoders.size(); ++i)
    if (decoders[i]) {
      avcodec_send_packet(decoders[i], nullptr);
      drain(i);
      avcodec_free_context(&decoders[i]);
    }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avformat_close_input(&format);

  f->frames = static_cast<int64_t>(videoTimes.size());
  f->expectedFrames = fps * f->duration;
  std::vector<double> intervals;
  for (size_t i = 1; i < videoTimes.size(); ++i) intervals.push_back(videoTimes[i] - videoTimes[i - 1]);
  if (!intervals.empty()) {
    std::sort(intervals.begin(), intervals.end());
    f->intervalP99Ms = 1000 * intervals[std::min(intervals.size() - 1, intervals.size() * 99 / 100)];
  }
  std::vector<double> offsets;
  for (double flash : flashes) {
    double best = 1e9;
    for (double beep : beeps)
      if (std::fabs(beep - flash) < std::fabs(best)) best = beep - flash;
    if (std::fabs(best) < 0.4) offsets.push_back(best);
  }
  if (!offsets.empty()) {
    std::sort(offsets.begin(), offsets.end());
    f->avOffsetMs = 1000 * offsets[offsets.size() / 2];
  }
}

double CpuSeconds(const rusage& r) {
  return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6;
}

// --- the two recorders ---

Figures RecordOurs(const std::string& path, int fps, int seconds) {
  Settings* s = Settings::Instance();
  s->SetRecordVideoframerate(fps);
  s->SetRecordRecordaudio(0);
  s->SetRecordRecordresolution(0);
  s->SetRecordFilesegment(0);
  s->SetRecordAudiofrequency(48000);
  s->SetRecordAudiobitrate(128);
  s->SetWatermarkText("");
  s->SetGeneralRecordmouse(true);
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  Figures f;
  {
    Recorder recorder;
    recorder.CreateMuxer();
    RecordParams params;
    params.mode = 0;
    params.monitor = 0;
    params.outputPath = path;
    params.qp = 28;
    if (recorder.Start(params) != 0) {
      fprintf(stderr, "recorder failed to start\n");
      return f;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    recorder.Stop();
  }
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  Analyse(path, fps, &f);
  f.cpuPerSecond = (CpuSeconds(after) - CpuSeconds(before)) / std::max(f.duration, 1e-3);
  f.peakRssKb = after.ru_maxrss;
  return f;
}

long HighWaterKb(pid_t pid) {
  FILE* status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!status) return 0;
  char line[256];
  long kb = 0;
  while (fgets(line, sizeof line, status))
    if (sscanf(line, "VmHWM: %ld", &kb) == 1) break;
  fclose(status);
  return kb;
}

Figures RecordFfmpeg(const std::string& path, int fps, int seconds) {
  const std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : ":0";
  std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
                                   "-thread_queue_size", "512", "-f", "x11grab", "-draw_mouse", "1",
                                   "-framerate", std::to_string(fps), "-video_size", "1920x1080",
                                   "-i", display, "-thread_queue_size", "512", "-f", "pulse",
                                   "-i", "spk.monitor", "-t", std::to_string(seconds),
                                   "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
                                   "-qp", "28", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k",
                                   path};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Figures f;
  pid_t pid = 0;
  if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return f;
  int status = 0;
  rusage usage{};
  // The child's own high-water mark: ru_maxrss of a spawned child starts
  // from this (larger) process's.
  long peakKb = 0;
  while (wait4(pid, &status, WNOHANG, &usage) == 0) {
    peakKb = std::max(peakKb, HighWaterKb(pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Analyse(path, fps, &f);
  f.cpuPerSecond = CpuSeconds(usage) / std::max(f.duration, 1e-3);
  f.peakRssKb = peakKb;
  return f;
}

void Print(const char* who, int fps, const Figures& f) {
  printf("%-8s %3d fps | %5.2f cpu-s/s | %7.1f MiB peak | %5lld / %6.1f frames | p99 interval %6.1f ms"
         " | A/V offset %+7.1f ms | %5.2f s, sound %5.2f s\n",
         who, fps, f.cpuPerSecond, f.peakRssKb / 1024.0, static_cast<long long>(f.frames),
         f.expectedFrames, f.intervalP99Ms, f.avOffsetMs, f.duration, f.audioSeconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--source") return RunSource(argc, argv);
  if (!getenv("DISPLAY") || !getenv("PULSE_SERVER")) {
    fprintf(stderr, "run inside the test services (scripts/test-env.sh)\n");
    return 1;
  }
  const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 10;
  QCoreApplication app(argc, argv);
  platform::Backend::Use(platform::BackendKind::X11);
  Settings::Instance()->Init();
  const std::string folder = std::filesystem::temp_directory_path() / "record_bench";
  std::filesystem::create_directories(folder);
  Settings::Instance()->SetGeneralFilesaveurl(QString::fromStdString(folder));

  QProcess source;
  source.start(QString::fromLocal8Bit(argv[0]), {"--source"});
  source.waitForStarted();
  std::this_thread::sleep_for(std::chrono::seconds(1));

  printf("recording %d s of the 1920x1080 display with loopback sound\n", seconds);
  for (int fps : {30, 60}) {
    const Figures ours = RecordOurs(folder + "/ours" + std::to_string(fps) + ".mp4", fps, seconds);
    Print("korvorec", fps, ours);
    const Figures theirs =
        RecordFfmpeg(folder + "/ffmpeg" + std::to_string(fps) + ".mp4", fps, seconds);
    Print("ffmpeg", fps, theirs);
    fflush(stdout);
  }
  source.kill();
  source.waitForFinished();
  return 0;
}
