// Capture + convert + encode of the whole 1920x1080 screen at 30 and 60 fps
// for 10 s each, with moving content on the screen, beside ffmpeg's own
// x11grab + libx264 on the same content. Prints figures; asserts nothing.
// Run under the test services: source scripts/test-env.sh && start_test_services
#include <glog/logging.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "recorder/swshelper.h"
#include "recorder/video/x264encoder.h"
#include "recorder/videocapture/dxgicapturer.h"

extern char** environ;

namespace {

constexpr int kSeconds = 10;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

double CpuSeconds(const rusage& r) {
  return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec +
         r.ru_stime.tv_usec / 1e6;
}

double SelfCpu() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return CpuSeconds(r);
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

// Moving test content covering the screen.
pid_t StartContent(int fps) {
  return Spawn({"ffplay", "-hide_banner", "-loglevel", "error", "-an", "-noborder", "-left", "0",
                "-top", "0", "-x", std::to_string(kWidth), "-y", std::to_string(kHeight), "-f",
                "lavfi", "-i",
                "testsrc2=size=" + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                    ":rate=" + std::to_string(fps)});
}

void StopChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

void RunOurs(int fps) {
  SwsHelper sws;
  X264Encoder encoder;
  DXGICapturer capturer;
  CaptureParams params;
  params.drawCursor = true;
  params.frameRate = fps;
  if (!capturer.Init(params) ||
      sws.Init(AV_PIX_FMT_BGRA, kWidth, kHeight, encoder.GetPixelFormat(), kWidth, kHeight) != 0 ||
      encoder.Init(kWidth, kHeight, fps, 0, 23, 0) != 0) {
    std::printf("korvorec %d fps: set-up failed\n", fps);
    return;
  }
  std::atomic<uint64_t> captured{0}, encoded{0}, convertFailed{0};
  encoder.SetCallbacks([&](AVPacket*) { ++encoded; }, nullptr);
  capturer.SetCallbacks(
      [&](AVFrame* frame) {
        ++captured;
        uint8_t* data = nullptr;
        int size = 0;
        if (sws.Scale(frame, &data, &size) != 0) {
          ++convertFailed;
          return;
        }
        encoder.PushFrame(data, size, *frame);
      },
      nullptr);
  const double cpu0 = SelfCpu();
  const auto t0 = std::chrono::steady_clock::now();
  encoder.Start();
  capturer.Start();
  std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
  capturer.Stop();
  encoder.Stop();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = SelfCpu() - cpu0;
  std::printf(
      "korvorec  %2d fps content: captured %5llu  encoded %5llu  dropped %5llu  "
      "convert-failed %llu  %.2f CPU s per recorded s (%.1f s wall)\n",
      fps, (unsigned long long)captured.load(), (unsigned long long)encoded.load(),
      (unsigned long long)encoder.DroppedFrames(), (unsigned long long)convertFailed.load(),
      cpu / wall, wall);
}

void RunFfmpeg(int fps) {
  const char* display = std::getenv("DISPLAY");
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = Spawn({"ffmpeg", "-hide_banner", "-loglevel", "fatal", "-nostats", "-f", "x11grab",
                     "-framerate", std::to_string(fps), "-video_size",
                     std::to_string(kWidth) + "x" + std::to_string(kHeight), "-i",
                     std::string(display) + "+0,0", "-t", std::to_string(kSeconds), "-c:v",
                     "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-f", "null", "-"});
  if (pid <= 0) {
    std::printf("ffmpeg    %2d fps: could not start\n", fps);
    return;
  }
  int status = 0;
  rusage r{};
  wait4(pid, &status, 0, &r);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("ffmpeg    %2d fps x11grab+libx264: %.2f CPU s per recorded s (%.1f s wall, exit %d)\n",
              fps, CpuSeconds(r) / kSeconds, wall, WEXITSTATUS(status));
}

}  // namespace

int main(int, char** argv) {
  google::InitGoogleLogging(argv[0]);
  FLAGS_minloglevel = 2;
  if (!std::getenv("DISPLAY")) {
    std::fprintf(stderr, "needs DISPLAY (source scripts/test-env.sh && start_test_services)\n");
    return 1;
  }
  platform::Backend::Use(platform::BackendKind::X11);
  std::printf("%dx%d, %d s per run, %u CPUs\n", kWidth, kHeight, kSeconds,
              std::thread::hardware_concurrency());
  for (int fps : {30, 60}) {
    pid_t content = StartContent(fps);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    RunOurs(fps);
    RunFfmpeg(fps);
    StopChild(content);
  }
  return 0;
}
