// Records the 1920x1080 display at 30 fps with loopback sound through the
// recorder for a number of minutes and prints, minute by minute, the
// resident memory, the frames, the frame-interval p99 and the A/V offset.
// The test source is record_bench's (see benchsupport.h).
//
// Run inside the test services: source scripts/test-env.sh && start_test_services
//   build/soak_bench [minutes]

#include <QCoreApplication>

#include "benchsupport.h"
#include "platform/backend.h"
#include "recorder/recorder.h"

using namespace bench;

int main(int argc, char** argv) {
  if (const int code = SourceOrServices(argc, argv); code >= 0) return code;
  const int minutes = argc > 1 ? std::max(2, atoi(argv[1])) : 30;
  constexpr int kFps = 30;
  QCoreApplication app(argc, argv);
  platform::Backend::Use(platform::BackendKind::X11);
  Settings::Instance()->Init();
  UseRecordSettings(kFps, 20, std::filesystem::temp_directory_path());
  const std::string path = std::filesystem::temp_directory_path() / "soak.mp4";

  Child source;
  StartSource(&source, argv[0]);

  std::vector<long> rssKb(static_cast<size_t>(minutes) + 1, 0);
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  double stopMs = 0;
  {
    Recorder recorder;
    recorder.CreateMuxer();
    RecordParams params;
    params.mode = RecordMode::Monitor;
    params.outputPath = path;
    params.qp = 20;
    if (recorder.Start(params) != 0) {
      fprintf(stderr, "recorder failed to start\n");
      kill(source.pid, SIGTERM);
      source.Wait(nullptr, 5000);
      return 1;
    }
    const auto start = Clock::now();
    for (int m = 1; m <= minutes; ++m) {
      std::this_thread::sleep_until(start + std::chrono::minutes(m));
      rssKb[static_cast<size_t>(m)] = StatusKb(getpid(), "VmRSS");
      fprintf(stderr, "minute %d: %.1f MiB\n", m, rssKb[static_cast<size_t>(m)] / 1024.0);
    }
    const auto stopAsked = Clock::now();
    recorder.Stop();
    stopMs = std::chrono::duration<double, std::milli>(Clock::now() - stopAsked).count();
  }
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  kill(source.pid, SIGTERM);
  source.Wait(nullptr, 5000);

  Figures f;
  Analyse(path, kFps, &f);
  printf("%d min at %d fps: %.2f cpu-s/s, %lld / %.0f frames, stop %.0f ms, %.1f MB\n", minutes,
         kFps, (CpuSeconds(after) - CpuSeconds(before)) / std::max(f.duration, 1e-3),
         static_cast<long long>(f.frames), f.expectedFrames, stopMs, f.megabytes);
  printf("minute | RSS MiB | frames | p99 interval ms | A/V offset median ms | spread ms\n");
  for (int m = 1; m <= minutes; ++m) {
    const double from = 60.0 * (m - 1), to = 60.0 * m;
    std::vector<double> times;
    for (double t : f.videoTimes)
      if (t >= from && t < to) times.push_back(t);
    std::vector<double> intervals;
    for (size_t i = 1; i < times.size(); ++i) intervals.push_back(times[i] - times[i - 1]);
    std::sort(intervals.begin(), intervals.end());
    const double p99 =
        intervals.empty() ? NAN : 1000 * intervals[std::min(intervals.size() - 1, intervals.size() * 99 / 100)];
    std::vector<double> offsets;
    for (const auto& [flash, offset] : f.offsets)
      if (flash >= from && flash < to) offsets.push_back(offset);
    double spread = NAN;
    if (!offsets.empty())
      spread = 1000 * (*std::max_element(offsets.begin(), offsets.end()) -
                       *std::min_element(offsets.begin(), offsets.end()));
    printf("%6d | %7.1f | %6zu | %15.1f | %20.1f | %9.1f\n", m, rssKb[static_cast<size_t>(m)] / 1024.0,
           times.size(), p99, 1000 * Median(offsets), spread);
  }
  printf("RSS growth after the first minute: %+.1f MiB\n",
         (rssKb[static_cast<size_t>(minutes)] - rssKb[1]) / 1024.0);
  return 0;
}
