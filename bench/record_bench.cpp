// Records the X display with loopback sound four ways in the same run: the
// recorder engine alone, the real program driven by its hot keys,
// `ffmpeg -f x11grab -f pulse` and SimpleScreenRecorder; prints their
// figures per kind of screen content and ours as ratios to theirs. A second
// copy of this program is the test source (see benchsupport.h and scene.h):
// it numbers its pictures, so that the analysis counts the pictures each
// recorder missed or held twice and compares each with the source's own.
//
// Each recorder's CPU is that of its process and its descendants over the
// same middle part of each recording: from a fifth of the way in to a
// second before the stop.
//
// Run inside the test services: source scripts/test-env.sh && start_test_services
//   build/record_bench [seconds [runs [cases]]]
// cases: a comma-separated choice of motion30, motion60, terminal, video.

#include <QApplication>
#include <QProcess>

#include <malloc.h>

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
pid_t g_source = 0;  // left out of the engine's CPU

void UseSettings(int fps, const std::string& folder) { UseRecordSettings(fps, kQp, folder); }

std::string OnlyFile(const std::string& folder, const std::string& extension) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.path().extension() == extension) return entry.path().string();
  return {};
}

bool WaitFor(const std::function<bool()>& condition, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!condition() && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return condition();
}

bool FileSays(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  return content.str().find(text) != std::string::npos;
}

bool LogSays(const std::string& folder, const std::string& text) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (FileSays(entry.path().string(), text)) return true;
  return false;
}

// A recording made, to be analysed once the source has stopped.
struct Recording {
  std::string path;
  Figures figures;
  int referenceQp = 0;
};

// Keeps a recording that began at `start` going for `seconds`; its CPU
// seconds per second from a fifth of the way in to a second before the end.
double HoldRecording(Clock::time_point start, int seconds, const std::function<double()>& cpu) {
  using std::chrono::duration;
  const double from = std::max(1.0, seconds / 5.0);
  const double to = std::max(from + 1, seconds - 1.0);
  auto at = [&](double s) {
    return start + std::chrono::duration_cast<Clock::duration>(duration<double>(s));
  };
  std::this_thread::sleep_until(at(from));
  const double cpuFrom = cpu();
  const auto wallFrom = Clock::now();
  std::this_thread::sleep_until(at(to));
  const double cpuTo = cpu();
  const double wall = duration<double>(Clock::now() - wallFrom).count();
  std::this_thread::sleep_until(at(seconds));
  return (cpuTo - cpuFrom) / std::max(wall, 1e-3);
}

Recording RecordEngine(const std::string& path, int seconds) {
  // The peak is this recording's, not the process's since it began (nor
  // the heap the analysis left).
  malloc_trim(0);
  if (FILE* clear = fopen("/proc/self/clear_refs", "w")) {
    fputs("5", clear);
    fclose(clear);
  }
  Recording r{path, {}, kQp};
  Clock::time_point stopAsked;
  {
    Recorder recorder;
    recorder.CreateMuxer();
    RecordParams params;
    params.mode = RecordMode::Monitor;
    params.monitor = 0;
    params.outputPath = path;
    params.qp = kQp;
    if (recorder.Start(params) != 0) {
      fprintf(stderr, "recorder failed to start\n");
      return r;
    }
    r.figures.cpuPerSecond = HoldRecording(Clock::now(), seconds,
                                           [] { return TreeCpuSeconds(getpid(), g_source); });
    stopAsked = Clock::now();
    recorder.Stop();
  }
  r.figures.stopMs = std::chrono::duration<double, std::milli>(Clock::now() - stopAsked).count();
  r.figures.peakRssKb = StatusKb(getpid(), "VmHWM");
  return r;
}

bool Key(const char* keys) {
  return QProcess::execute("xdotool", {"key", "--clearmodifiers", keys}) == 0;
}

// The program as a user runs it: started with the settings file, recording
// started and stopped by its hot keys (Alt+9, Shift+S).
Recording RecordProgram(const std::string& program, const std::string& folder, int fps,
                        int seconds) {
  Recording r;
  Figures& f = r.figures;
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
  if (!started) return r;
  const std::string logs = data + "/ScreenRecorder/log";
  if (!WaitFor([] { return platform::Windows().FindWindow(platform::kToolkitWindowClass, kAppName) != 0; },
               15000)) {
    fprintf(stderr, "the program showed no window\n");
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  f.idleRssKb = StatusKb(child.pid, "VmRSS");
  Key("alt+9");
  if (!WaitFor([&] { return LogSays(logs, "ffmpeg inits successfully"); }, 5000))
    fprintf(stderr, "the program did not start recording\n");
  const pid_t pid = child.pid;
  f.cpuPerSecond = HoldRecording(Clock::now(), seconds, [pid] { return TreeCpuSeconds(pid); });
  const auto stopAsked = Clock::now();
  Key("shift+s");
  if (WaitFor([&] { return LogSays(logs, "ffmpegmuxer stopped"); }, 30000))
    f.stopMs = std::chrono::duration<double, std::milli>(Clock::now() - stopAsked).count();
  f.peakRssKb = StatusKb(child.pid, "VmHWM");
  kill(child.pid, SIGTERM);
  child.Wait(nullptr, 15000);
  r.path = OnlyFile(folder, ".mp4");
  r.referenceQp = kQp;
  return r;
}

Recording RecordFfmpeg(const std::string& path, int fps, int seconds) {
  const std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : ":0";
  const std::string log = path + ".log";
  Recording r{path, {}, 0};
  Child child;
  if (!child.Start({"ffmpeg", "-hide_banner", "-loglevel", "info", "-nostats", "-y",
                    "-thread_queue_size", "512", "-f", "x11grab", "-draw_mouse", "1", "-framerate",
                    std::to_string(fps), "-video_size", "1920x1080", "-i", display,
                    "-thread_queue_size", "512", "-f", "pulse", "-i", "spk.monitor", "-c:v",
                    "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-qp",
                    std::to_string(kQp), "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k",
                    path},
                   false, log))
    return r;
  if (!WaitFor([&] { return FileSays(log, "Press [q]"); }, 10000))
    fprintf(stderr, "ffmpeg did not start recording\n");
  const pid_t pid = child.pid;
  r.figures.cpuPerSecond =
      HoldRecording(Clock::now(), seconds, [pid] { return TreeCpuSeconds(pid); });
  const auto stopAsked = Clock::now();
  kill(child.pid, SIGINT);
  // The child's own high-water mark: ru_maxrss of a spawned child starts
  // from this (larger) process's.
  long peakKb = 0;
  child.Wait(&peakKb, 30000);
  r.figures.stopMs = std::chrono::duration<double, std::milli>(Clock::now() - stopAsked).count();
  r.figures.peakRssKb = peakKb;
  return r;
}

Recording RecordSsr(const std::string& path, int fps, int seconds) {
  Recording r{path, {}, 0};
  const std::string settings = path + ".conf";
  const std::string log = path + ".log";
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
                   true, log))
    return r;
  if (!WaitFor([&] { return FileSays(log, "Started input."); }, 15000))
    fprintf(stderr, "SimpleScreenRecorder did not start recording\n");
  const pid_t pid = child.pid;
  r.figures.cpuPerSecond =
      HoldRecording(Clock::now(), seconds, [pid] { return TreeCpuSeconds(pid); });
  const auto stopAsked = Clock::now();
  child.Write("record-save\n");
  if (WaitFor([&] { return FileSays(log, "Stopped page."); }, 30000))
    r.figures.stopMs =
        std::chrono::duration<double, std::milli>(Clock::now() - stopAsked).count();
  child.Write("quit\n");
  long peakKb = 0;
  child.Wait(&peakKb, 30000);
  r.figures.peakRssKb = peakKb;
  return r;
}

void Print(const char* who, int fps, const Figures& f) {
  if (!f.ran) {
    printf("  %-8s %3d fps | no file\n", who, fps);
    return;
  }
  printf("  %-8s %3d fps | %5.2f cpu-s/s | %6.1f MiB peak", who, fps, f.cpuPerSecond,
         f.peakRssKb / 1024.0);
  if (f.idleRssKb) printf(" (idle %5.1f)", f.idleRssKb / 1024.0);
  printf(" | %5lld / %6.1f frames, 1st s %3d, fewest %3d | p99 %5.1f ms | A/V %+6.1f ms, spread "
         "%5.1f | %6.2f MB, %5.2f MB/s | %5.2f s, sound %5.2f s",
         static_cast<long long>(f.frames), f.expectedFrames, f.firstSecondFrames,
         f.fewestLaterFrames, f.intervalP99Ms, f.avOffsetMs, f.avSpreadMs, f.megabytes,
         f.megabytes / std::max(f.duration, 1e-3), f.duration, f.audioSeconds);
  if (!std::isnan(f.stopMs)) printf(" | stop %5.0f ms", f.stopMs);
  if (f.referenceBytes > 0)
    printf(" | size/veryfast %4.2f", double(f.videoBytes) / double(f.referenceBytes));
  printf("\n");
  if (f.pictures > 0)
    printf("  %-8s         | numbered: %lld presented, %lld missed (%lld shown < half a frame), "
           "%lld held twice, %lld of %lld pictures unreadable | PSNR-Y %5.2f dB, changing part %5.2f dB",
           who, static_cast<long long>(f.presented), static_cast<long long>(f.missed),
           static_cast<long long>(f.missedBrief), static_cast<long long>(f.doubled),
           static_cast<long long>(f.unreadable), static_cast<long long>(f.pictures), f.psnr,
           f.changingPsnr);
  if (f.pictures > 0 && !std::isnan(f.referencePsnr))
    printf(" | veryfast on the source's pictures: PSNR-Y %5.2f dB", f.referencePsnr);
  if (f.pictures > 0) printf("\n");
  // BENCH_OFFSETS=1 lists each flash's time and sound offset.
  if (getenv("BENCH_OFFSETS")) {
    printf("    offsets (s: ms)");
    for (const auto& [flash, offset] : f.offsets) printf(" %.3f: %+.1f", flash, 1000 * offset);
    printf("\n");
  }
}

void PrintRatios(const char* who, const Figures& ours, const Figures& ssr, const Figures& ffmpeg) {
  auto ratio = [](double a, double b) { return b > 0 ? a / b : NAN; };
  printf("  %-8s cpu/ssr %4.2f  cpu/ffmpeg %4.2f  rss/ssr %4.2f  size/ssr %4.2f  "
         "size/ffmpeg %4.2f  PSNR-Y - ssr's %+5.2f dB",
         who, ratio(ours.cpuPerSecond, ssr.cpuPerSecond),
         ratio(ours.cpuPerSecond, ffmpeg.cpuPerSecond),
         ratio(double(ours.peakRssKb), double(ssr.peakRssKb)),
         ratio(ours.megabytes, ssr.megabytes), ratio(ours.megabytes, ffmpeg.megabytes),
         ours.psnr - ssr.psnr);
  if (ours.referenceBytes > 0)
    printf("  size/veryfast-qp%d-same-pictures %4.2f (PSNR-Y %+5.2f dB)", kQp,
           ratio(double(ours.videoBytes), double(ours.referenceBytes)),
           ours.psnr - ours.referencePsnr);
  printf("\n");
}

struct Case {
  const char* name;
  const char* title;
  Content content;
  int recordFps;
  int sourceFps;
};

constexpr Case kCases[] = {
    {"motion30", "full-screen motion, 30 fps", Content::kMotion, 30, 30},
    {"motion60", "full-screen motion, 60 fps", Content::kMotion, 60, 60},
    {"terminal", "a terminal printing text on a still desktop, 30 fps (text at 15 Hz)",
     Content::kTerminal, 30, 15},
    {"video", "a small video window on a still desktop, 30 fps", Content::kVideo, 30, 30},
};

}  // namespace

// Analyses a recording again: --analyse case source-log file [qp].
int Reanalyse(int argc, char** argv) {
  QApplication app(argc, argv);
  for (const Case& c : kCases) {
    if (c.name != std::string(argv[2])) continue;
    const Scene scene(c.content, c.sourceFps);
    Numbered numbered;
    numbered.scene = &scene;
    numbered.presented = ReadPresented(argv[3]);
    numbered.recordFps = c.recordFps;
    Figures f;
    Analyse(argv[4], c.recordFps, &f, argc > 5 ? atoi(argv[5]) : 0, &numbered);
    Print("file", c.recordFps, f);
    return 0;
  }
  return 1;
}

int main(int argc, char** argv) {
  if (argc > 4 && std::string(argv[1]) == "--analyse") return Reanalyse(argc, argv);
  if (const int code = SourceOrServices(argc, argv); code >= 0) return code;
  const int seconds = argc > 1 ? std::max(3, atoi(argv[1])) : 10;
  const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 1;
  const std::string chosen = argc > 3 ? argv[3] : "";
  QApplication app(argc, argv);  // paints the source's pictures for the comparison
  platform::Backend::Use(platform::BackendKind::X11);
  Settings::Instance()->Init();
  const std::string folder = std::filesystem::temp_directory_path() / "record_bench";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string program =
      (std::filesystem::path(argv[0]).parent_path() / "korvorec").string();
  // The pointer out of the way of the pictures compared.
  QProcess::execute("xdotool", {"mousemove", "1919", "1079"});

  printf("recording %d s of the 1920x1080 display with loopback sound, %d run(s); CPU from "
         "%.1f s to %d s of each recording\n",
         seconds, runs, std::max(1.0, seconds / 5.0), seconds - 1);
  for (int run = 1; run <= runs; ++run) {
    for (const Case& c : kCases) {
      if (!chosen.empty() && ("," + chosen + ",").find(std::string(",") + c.name + ",") ==
                                 std::string::npos)
        continue;
      const std::string tag = std::to_string(run) + "-" + c.name;
      const std::string sourceLog = folder + "/source" + tag + ".log";
      Child source;
      StartSource(&source, argv[0], c.content, c.sourceFps, sourceLog);
      g_source = source.pid;
      UseSettings(c.recordFps, folder);
      const char* names[] = {"engine", "korvorec", "ffmpeg", "ssr"};
      Recording recordings[4];
      recordings[0] = RecordEngine(folder + "/engine" + tag + ".mp4", seconds);
      recordings[1] = RecordProgram(program, folder + "/program" + tag, c.recordFps, seconds);
      recordings[2] = RecordFfmpeg(folder + "/ffmpeg" + tag + ".mp4", c.recordFps, seconds);
      recordings[3] = RecordSsr(folder + "/ssr" + tag + ".mp4", c.recordFps, seconds);
      kill(source.pid, SIGTERM);
      source.Wait(nullptr, 5000);

      const Scene scene(c.content, c.sourceFps);
      Numbered numbered;
      numbered.scene = &scene;
      numbered.presented = ReadPresented(sourceLog);
      numbered.recordFps = c.recordFps;
      printf("run %d: %s\n", run, c.title);
      for (int i = 0; i < 4; ++i) {
        Recording& r = recordings[i];
        if (!r.path.empty()) Analyse(r.path, c.recordFps, &r.figures, r.referenceQp, &numbered);
        Print(names[i], c.recordFps, r.figures);
      }
      for (int i = 0; i < 3; ++i)
        PrintRatios(names[i], recordings[i].figures, recordings[3].figures,
                    recordings[2].figures);
      fflush(stdout);
    }
  }
  return 0;
}
