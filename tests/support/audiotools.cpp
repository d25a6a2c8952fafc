#include "support/audiotools.h"

#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testsupport {

double ToneAmplitude(const std::vector<float>& interleaved, int channels, int rate, double hz) {
  const size_t n = interleaved.size() / static_cast<size_t>(channels);
  if (n == 0) return 0;
  double re = 0, im = 0;
  const double w = 2 * M_PI * hz / rate;
  for (size_t i = 0; i < n; ++i) {
    double s = interleaved[i * channels];
    re += s * std::cos(w * i);
    im -= s * std::sin(w * i);
  }
  return 2 * std::sqrt(re * re + im * im) / n;
}

TonePlayer::TonePlayer(const std::string& sink, double hz, double seconds, float amplitude) {
  static int counter = 0;
  m_file = (std::filesystem::temp_directory_path() /
            ("korvorec-tone-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".raw"))
               .string();
  const int rate = 48000;
  const size_t frames = static_cast<size_t>(seconds * rate);
  std::vector<float> data(frames * 2);
  for (size_t i = 0; i < frames; ++i)
    data[2 * i] = data[2 * i + 1] = amplitude * static_cast<float>(std::sin(2 * M_PI * hz * i / rate));
  FILE* f = std::fopen(m_file.c_str(), "wb");
  if (f) {
    std::fwrite(data.data(), sizeof(float), data.size(), f);
    std::fclose(f);
  }
  // With a desktop player's buffer: pacat's own two seconds make PulseAudio
  // render that far ahead, and a monitor opened meanwhile hears nothing of
  // it (parec too) until the next render.
  std::string cmd = "pacat --raw --format=float32le --rate=48000 --channels=2 --latency-msec=50 -d " +
                    sink + " " + m_file;
  m_thread = std::thread([cmd] { (void)std::system(cmd.c_str()); });
}

TonePlayer::~TonePlayer() {
  Join();
  std::remove(m_file.c_str());
}

void TonePlayer::Join() {
  if (m_thread.joinable()) m_thread.join();
}

bool RemoveSink(const std::string& name) {
  FILE* modules = popen("pactl list short modules", "r");
  if (!modules) return false;
  std::string index;
  char line[512];
  while (fgets(line, sizeof line, modules)) {
    const std::string text = line;
    if (text.find("module-null-sink") != std::string::npos &&
        text.find("sink_name=" + name + " ") != std::string::npos)
      index = text.substr(0, text.find('\t'));
  }
  pclose(modules);
  return !index.empty() && std::system(("pactl unload-module " + index).c_str()) == 0;
}

bool AddSink(const std::string& name) {
  const std::string load = "pactl load-module module-null-sink sink_name=" + name + " rate=48000 channels=2 >/dev/null";
  if (std::system(load.c_str()) != 0) return false;
  for (int i = 0; i < 50; ++i) {
    if (std::system(("pactl set-default-sink " + name + " 2>/dev/null").c_str()) == 0) return true;
    usleep(100000);
  }
  return false;
}

bool RestartSoundServer() {
  const char* script = std::getenv("KORVOREC_TEST_ENV");
  return script && std::system((std::string(script) + " restart-sound-server").c_str()) == 0;
}

HungSoundServer::HungSoundServer() {
  const char* runtime = std::getenv("TEST_RUNTIME");
  if (!runtime) return;
  std::vector<pid_t> pids;
  std::ifstream list(std::string(runtime) + "/sound.pids");
  for (pid_t pid; list >> pid;) pids.push_back(pid);
  if (pids.empty()) return;
  std::string names;
  for (pid_t pid : pids) names += " " + std::to_string(pid);
  // The keeper outlives a test that crashes: its input ends with the test.
  m_keeper = popen(("read -r _; kill -CONT" + names).c_str(), "w");
  if (!m_keeper) return;
  for (pid_t pid : pids) m_hung = kill(pid, SIGSTOP) == 0 || m_hung;
}

HungSoundServer::~HungSoundServer() { Resume(); }

void HungSoundServer::Resume() {
  if (m_keeper) pclose(m_keeper);
  m_keeper = nullptr;
  m_hung = false;
}

}  // namespace testsupport
