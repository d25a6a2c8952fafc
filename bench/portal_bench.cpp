// Records the same moving 1920x1080 picture, 30 pictures a second, with the
// recorder engine two ways in the same run: on the X11 path, the picture
// shown on the display; and on a Wayland session's path, the picture as the
// screen cast of the scripted portal (tests/wayland/screencast_portal.py)
// through PipeWire. Two contents:
//   ball   GStreamer's videotestsrc "ball": the window or node redraws all of
//          the picture each time, so both paths convert it whole;
//   scene  castscene: a ball over a still backdrop, where only what changed
//          is put on the display, or marked changed in the cast's buffers
//          (as a compositor does);
//   whole  the same, all of each picture put or marked changed (a video
//          player's window), from a node that drives its stream as a
//          compositor does, where videotestsrc's waits for the graph.
// Prints the engine's CPU per recorded second of each, side by side, and
// beside it the CPU of the side that delivers the picture: the X server, or
// the portal's bus, PipeWire and session manager. What makes the picture
// (the window, the node) is counted on neither side. The runs use an X
// server of their own.
//
// Run inside the test services: source scripts/test-env.sh && start_test_services
//   build/portal_bench [seconds [runs [contents]]]     contents: ball,scene,whole

#include <QCoreApplication>

#include <fstream>
#include <sstream>

#include "benchsupport.h"
#include "platform/backend.h"
#include "recorder/recorder.h"
#include "settings.h"

namespace {

using namespace bench;

constexpr int kFps = 30;
constexpr int kQp = 20;

// CPU seconds of a process and all its descendants.
double TreeCpuSeconds(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> parents;  // pid, parent
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const pid_t pid = atoi(entry.path().filename().c_str());
    if (pid <= 0) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (sscanf(line.c_str() + close + 2, "%c %d", &state, &parent) == 2)
      parents.push_back({pid, parent});
  }
  std::vector<pid_t> tree{root};
  for (size_t i = 0; i < tree.size(); ++i)
    for (const auto& [pid, parent] : parents)
      if (parent == tree[i]) tree.push_back(pid);
  double seconds = 0;
  for (pid_t pid : tree) seconds += ProcessCpuSeconds(pid);
  return seconds;
}

// The recording's figures; *sideCpu: the CPU seconds a second of the given
// process trees meanwhile.
Figures RecordEngine(const std::string& path, int seconds, const std::vector<pid_t>& side,
                     double* sideCpu) {
  double sideBefore = 0;
  for (pid_t pid : side) sideBefore += TreeCpuSeconds(pid);
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  Figures f;
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
      return f;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    recorder.Stop();
  }
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  double sideAfter = 0;
  for (pid_t pid : side) sideAfter += TreeCpuSeconds(pid);
  Analyse(path, kFps, &f);
  *sideCpu = (sideAfter - sideBefore) / std::max(f.duration, 1e-3);
  f.cpuPerSecond = (CpuSeconds(after) - CpuSeconds(before)) / std::max(f.duration, 1e-3);
  return f;
}

void Print(const char* who, const Figures& f, double sideCpu, const char* side) {
  printf("%-7s | engine %5.3f cpu-s/s | %-24s %5.3f cpu-s/s | together %5.3f | %4lld frames in "
         "%5.2f s\n",
         who, f.cpuPerSecond, side, sideCpu, f.cpuPerSecond + sideCpu,
         static_cast<long long>(f.frames), f.duration);
}

// The X11 path: the picture in a window on the display.
Figures RecordX11(const std::string& content, const std::string& path, int seconds, pid_t server,
                  double* sideCpu) {
  Child picture;
  if (content == "scene" || content == "whole") {
    std::vector<std::string> argv{KORVOREC_CASTSCENE, "--x11", "--size", "1920x1080", "--rate",
                                  std::to_string(kFps)};
    if (content == "whole") argv.push_back("--whole");
    picture.Start(argv);
  } else {
    picture.Start({"gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "pattern=" + content,
                   "!",
                   "video/x-raw,width=1920,height=1080,framerate=" + std::to_string(kFps) + "/1",
                   "!", "ximagesink"});
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  platform::Backend::Use(platform::BackendKind::X11);
  const Figures f = RecordEngine(path, seconds, {server}, sideCpu);
  kill(picture.pid, SIGTERM);
  picture.Wait(nullptr, 5000);
  return f;
}

// The Wayland path: the picture as the scripted desktop's screen cast.
Figures RecordPortal(const std::string& content, const std::string& folder,
                     const std::string& path, int seconds, double* sideCpu) {
  const std::string run = folder + "/desktop";
  std::filesystem::remove_all(run);
  std::filesystem::create_directories(run);
  Child desktop;
  std::vector<std::string> argv{"/usr/bin/python3",
                                KORVOREC_SOURCE_DIR "/tests/wayland/screencast_portal.py",
                                run,
                                "--size",
                                "1920x1080",
                                "--rate",
                                std::to_string(kFps)};
  if (content == "scene" || content == "whole") {
    argv.insert(argv.end(), {"--scene", std::string(KORVOREC_CASTSCENE) +
                                            (content == "whole" ? " --whole" : "")});
  } else {
    argv.insert(argv.end(), {"--pattern", content});
  }
  desktop.Start(argv);
  std::string bus;
  for (int i = 0; i < 200 && bus.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream ready(run + "/ready");
    std::getline(ready, bus);
  }
  Figures f;
  if (bus.empty()) {
    fprintf(stderr, "the scripted portal did not start\n");
  } else {
    const char* old = getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string saved = old ? old : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    platform::Backend::Use(platform::BackendKind::Wayland);
    f = RecordEngine(path, seconds, {desktop.pid}, sideCpu);
    platform::Backend::Use(platform::BackendKind::X11);
    setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
  }
  kill(desktop.pid, SIGTERM);
  desktop.Wait(nullptr, 10000);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int code = SourceOrServices(argc, argv); code >= 0) return code;
  const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 10;
  const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 1;
  std::vector<std::string> contents;
  std::stringstream list(argc > 3 ? argv[3] : "ball,scene,whole");
  for (std::string c; std::getline(list, c, ',');)
    if (!c.empty()) contents.push_back(c);
  QCoreApplication app(argc, argv);
  Settings::Instance()->Init();
  const std::string folder = std::filesystem::temp_directory_path() / "portal_bench";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  UseRecordSettings(kFps, kQp, folder);
  // An X server of our own, whose work is measured.
  const std::string display = ":" + std::to_string(200 + getpid() % 500);
  Child server;
  server.Start({"Xvfb", display, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"});
  const std::string socket = "/tmp/.X11-unix/X" + display.substr(1);
  for (int i = 0; i < 100 && !std::filesystem::exists(socket); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  setenv("DISPLAY", display.c_str(), 1);

  printf("recording %d s of a 1920x1080 %d fps moving picture with loopback sound, %d run(s)\n",
         seconds, kFps, runs);
  for (int run = 1; run <= runs; ++run)
    for (const std::string& content : contents) {
      const std::string name = content + "-" + std::to_string(run) + ".mp4";
      double x11Side = 0, portalSide = 0;
      printf("%s, run %d\n", content.c_str(), run);
      const Figures x11 = RecordX11(content, folder + "/x11-" + name, seconds, server.pid,
                                    &x11Side);
      Print("x11", x11, x11Side, "X server:");
      const Figures portal =
          RecordPortal(content, folder, folder + "/portal-" + name, seconds, &portalSide);
      Print("portal", portal, portalSide, "bus, PipeWire, manager:");
      auto ratio = [](double a, double b) { return b > 0 ? a / b : NAN; };
      printf("  portal/x11: engine %4.2f, together %4.2f\n",
             ratio(portal.cpuPerSecond, x11.cpuPerSecond),
             ratio(portal.cpuPerSecond + portalSide, x11.cpuPerSecond + x11Side));
      fflush(stdout);
    }
  kill(server.pid, SIGTERM);
  server.Wait(nullptr, 5000);
  return 0;
}
