// Records the X display with loopback sound four ways in the same run: the
// recorder engine alone, the real program driven by its hot keys,
// `ffmpeg -f x11grab -f pulse` and SimpleScreenRecorder; prints their
// figures and ours as ratios to theirs. A second copy of this program is the
// test source (see benchsupport.h).
//
// Run inside the test services: source scripts/test-env.sh && start_test_services
//   build/record_bench [seconds [runs]]

#include <QCoreApplication>
#include <QProcess>

#include <fstream>
#include <sstream>

#include "benchsupport.h"
#include "constants.h"
#include "platform/backend.h"
#include "platform/windows.h"
#include "recorder/recorder.h"
#include "settings.h"

namespace {

using namespace bench;

constexpr int kQp = 20;

void UseSettings(int fps, const std::string& folder) { UseRecordSettings(fps, kQp, folder); }

std::string OnlyFile(const std::string& folder, const std::string& extension) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.path().extension() == extension) return entry.path().string();
  return {};
}

Figures RecordEngine(const std::string& path, int fps, int seconds) {
  // The peak is this recording's, not the process's since it began.
  if (FILE* clear = fopen("/proc/self/clear_refs", "w")) {
    fputs("5", clear);
    fclose(clear);
  }
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  Figures f;
  Clock::time_point stopAsked;
  {
    Recorder recorder;
    recorder.CreateMuxer();
    RecordParams params;
    params.mode = 0;
    params.monitor = 0;
    params.outputPath = path;
    params.qp = kQp;
    if (recorder.Start(params) != 0) {
      fprintf(stderr, "recorder failed to start\n");
      return f;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stopAsked = Clock::now();
    recorder.Stop();
  }
  const double stopMs =
      std::chrono::duration<double, std::milli>(Clock::now() - stopAsked).count();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const long peakKb = StatusKb(getpid(), "VmHWM");  // before the analysis decodes the file
  Analyse(path, fps, &f, kQp);
  f.cpuPerSecond = (CpuSeconds(after) - CpuSeconds(before)) / std::max(f.duration, 1e-3);
  f.peakRssKb = peakKb;
  f.stopMs = stopMs;
  return f;
}

bool LogSays(const std::string& folder, const std::string& text) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    std::ifstream in(entry.path());
    std::stringstream content;
    content << in.rdbuf();
    if (content.str().find(text) != std::string::npos) return true;
  }
  return false;
}

bool Key(const char* keys) {
  return QProcess::execute("xdotool", {"key", "--clearmodifiers", keys}) == 0;
}

// The program as a user runs it: started with the settings file, recording
// started and stopped by its hot keys (Alt+9, Shift+S).
Figures RecordProgram(const std::string& program, const std::string& folder, int fps,
                      int seconds) {
  Figures f;
  std::filesystem::create_directories(folder);
  UseSettings(fps, folder);
  const std::string data = folder + "/data";
  const char* oldData = getenv("XDG_DATA_HOME");
  const std::string saved = oldData ? oldData : "";
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  Child child;
  const bool started = child.Start({program});
  if (oldData)
    setenv("XDG_DATA_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_DATA_HOME");
  if (!started) return f;
  const std::string logs = data + "/ScreenRecorder/log";
  auto waitFor = [](const std::function<bool()>& condition, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
  };
  if (!waitFor([] { return platform::Windows().FindWindow(platform::kToolkitWindowClass, kAppName) != 0; },
               15000)) {
    fprintf(stderr, "the program showed no window\n");
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  f.idleRssKb = StatusKb(child.pid, "VmRSS");
  const double cpuBefore = ProcessCpuSeconds(child.pid);
  Key("alt+9");
  if (!waitFor([&] { return LogSays(logs, "ffmpeg inits successfully"); }, 5000))
    fprintf(stderr, "the program did not start recording\n");
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto stopAsked = Clock::now();
  Key("shift+s");
  if (waitFor([&] { return LogSays(logs, "ffmpegmuxer stopped"); }, 30000))
    f.stopMs = std::chrono::duration<double, std::milli>(Clock::now() - stopAsked).count();
  const double cpuAfter = ProcessCpuSeconds(child.pid);
  const long peakKb = StatusKb(child.pid, "VmHWM");
  kill(child.pid, SIGTERM);
  child.Wait(nullptr, 15000);
  Analyse(OnlyFile(folder, ".mp4"), fps, &f, kQp);
  f.cpuPerSecond = (cpuAfter - cpuBefore) / std::max(f.duration, 1e-3);
  f.peakRssKb = peakKb;
  return f;
}

Figures RecordFfmpeg(const std::string& path, int fps, int seconds) {
  const std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : ":0";
  Figures f;
  Child child;
  if (!child.Start({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-thread_queue_size",
                    "512", "-f", "x11grab", "-draw_mouse", "1", "-framerate",
                    std::to_string(fps), "-video_size", "1920x1080", "-i", display,
                    "-thread_queue_size", "512", "-f", "pulse", "-i", "spk.monitor", "-t",
                    std::to_string(seconds), "-c:v", "libx264", "-preset", "veryfast", "-tune",
                    "zerolatency", "-qp", std::to_string(kQp), "-pix_fmt", "yuv420p", "-c:a",
                    "aac", "-b:a", "128k", path}))
    return f;
  // The child's own high-water mark: ru_maxrss of a spawned child starts
  // from this (larger) process's.
  long peakKb = 0;
  const rusage usage = child.Wait(&peakKb, (seconds + 30) * 1000);
  Analyse(path, fps, &f);
  f.cpuPerSecond = CpuSeconds(usage) / std::max(f.duration, 1e-3);
  f.peakRssKb = peakKb;
  return f;
}

Figures RecordSsr(const std::string& path, int fps, int seconds) {
  Figures f;
  const std::string settings = path + ".conf";
  {
    std::ofstream conf(settings);
    conf << "[input]\nvideo_area=0\nvideo_frame_rate=" << fps
         << "\nvideo_record_cursor=true\naudio_enabled=true\naudio_backend=pulseaudio\n"
            "audio_pulseaudio_source=spk.monitor\n"
            "[output]\nfile="
         << path
         << "\nseparate_files=false\nadd_timestamp=false\ncontainer=mp4\nvideo_codec=h264\n"
            "video_h264_crf=23\nvideo_h264_preset=veryfast\nvideo_allow_frame_skipping=false\n"
            "audio_codec=aac\naudio_kbit_rate=128\n";
  }
  Child child;
  if (!child.Start({"simplescreenrecorder", "--settingsfile=" + settings, "--start-recording",
                    "--no-systray"},
                   true))
    return f;
  std::thread stopper([&child, seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    child.Write("record-save\n");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    child.Write("quit\n");
  });
  long peakKb = 0;
  const rusage usage = child.Wait(&peakKb, (seconds + 30) * 1000);
  stopper.join();
  Analyse(path, fps, &f);
  f.cpuPerSecond = CpuSeconds(usage) / std::max(f.duration, 1e-3);
  f.peakRssKb = peakKb;
  return f;
}

void Print(const char* who, int fps, const Figures& f) {
  if (!f.ran) {
    printf("%-8s %3d fps | no file\n", who, fps);
    return;
  }
  printf("%-8s %3d fps | %5.2f cpu-s/s | %6.1f MiB peak", who, fps, f.cpuPerSecond,
         f.peakRssKb / 1024.0);
  if (f.idleRssKb) printf(" (idle %5.1f)", f.idleRssKb / 1024.0);
  printf(" | %5lld / %6.1f frames, 1st s %3d, fewest %3d | p99 %5.1f ms | A/V %+6.1f ms, spread "
         "%5.1f | %5.2f MB/s | %5.2f s, sound %5.2f s",
         static_cast<long long>(f.frames), f.expectedFrames, f.firstSecondFrames,
         f.fewestLaterFrames, f.intervalP99Ms, f.avOffsetMs, f.avSpreadMs,
         f.megabytes / std::max(f.duration, 1e-3), f.duration, f.audioSeconds);
  if (!std::isnan(f.stopMs)) printf(" | stop %5.0f ms", f.stopMs);
  if (f.referenceBytes > 0)
    printf(" | size/veryfast %4.2f", double(f.videoBytes) / double(f.referenceBytes));
  printf("\n");
  // BENCH_OFFSETS=1 lists each flash's time and sound offset.
  if (getenv("BENCH_OFFSETS")) {
    printf("    offsets (s: ms)");
    for (const auto& [flash, offset] : f.offsets) printf(" %.3f: %+.1f", flash, 1000 * offset);
    printf("\n");
  }
}

void PrintRatios(const char* who, const Figures& ours, const Figures& ssr, const Figures& ffmpeg) {
  auto ratio = [](double a, double b) { return b > 0 ? a / b : NAN; };
  auto rate = [](const Figures& f) { return f.megabytes / std::max(f.duration, 1e-3); };
  printf("  %-8s cpu/ssr %4.2f  cpu/ffmpeg %4.2f  rss/ffmpeg %4.2f  MB-per-s/ffmpeg %4.2f"
         "  size/veryfast-qp%d-same-pictures %4.2f\n",
         who, ratio(ours.cpuPerSecond, ssr.cpuPerSecond),
         ratio(ours.cpuPerSecond, ffmpeg.cpuPerSecond),
         ratio(double(ours.peakRssKb), double(ffmpeg.peakRssKb)), ratio(rate(ours), rate(ffmpeg)),
         kQp, ratio(double(ours.videoBytes), double(ours.referenceBytes)));
}

}  // namespace

int main(int argc, char** argv) {
  if (const int code = SourceOrServices(argc, argv); code >= 0) return code;
  const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 10;
  const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 1;
  QCoreApplication app(argc, argv);
  platform::Backend::Use(platform::BackendKind::X11);
  Settings::Instance()->Init();
  const std::string folder = std::filesystem::temp_directory_path() / "record_bench";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string program =
      (std::filesystem::path(argv[0]).parent_path() / "korvorec").string();

  Child source;
  StartSource(&source, argv[0]);

  printf("recording %d s of the 1920x1080 display with loopback sound, %d run(s)\n", seconds, runs);
  for (int run = 1; run <= runs; ++run) {
    for (int fps : {30, 60}) {
      const std::string tag = std::to_string(run) + "-" + std::to_string(fps);
      UseSettings(fps, folder);
      const Figures engine = RecordEngine(folder + "/engine" + tag + ".mp4", fps, seconds);
      Print("engine", fps, engine);
      const Figures prog = RecordProgram(program, folder + "/program" + tag, fps, seconds);
      Print("korvorec", fps, prog);
      const Figures ffmpeg = RecordFfmpeg(folder + "/ffmpeg" + tag + ".mp4", fps, seconds);
      Print("ffmpeg", fps, ffmpeg);
      const Figures ssr = RecordSsr(folder + "/ssr" + tag + ".mp4", fps, seconds);
      Print("ssr", fps, ssr);
      PrintRatios("engine", engine, ssr, ffmpeg);
      PrintRatios("korvorec", prog, ssr, ffmpeg);
      fflush(stdout);
    }
  }
  kill(source.pid, SIGTERM);
  source.Wait(nullptr, 5000);
  return 0;
}
