#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Amplitude of the `hz` component of interleaved float samples (channel 0).
double ToneAmplitude(const std::vector<float>& interleaved, int channels, int rate, double hz);

// Plays a float stereo sine into a PulseAudio sink with pacat, in the
// background until Join.
class TonePlayer {
 public:
  TonePlayer(const std::string& sink, double hz, double seconds, float amplitude = 0.5f);
  ~TonePlayer();
  void Join();

 private:
  std::string m_file;
  std::thread m_thread;
};

// The test sound server (scripts/test-env.sh): a null sink taken away and
// made again as it was (the default sink again), and the whole server
// restarted with its test devices. False when pactl or the restart failed.
bool RemoveSink(const std::string& name);
bool AddSink(const std::string& name);
bool RestartSoundServer();
// The test sound server hangs (every process of it stopped) from
// construction until Resume, the end of this object or of the test process.
class HungSoundServer {
 public:
  HungSoundServer();
  ~HungSoundServer();
  bool Hung() const { return m_hung; }
  void Resume();

 private:
  FILE* m_keeper = nullptr;  // continues the server when its input ends
  bool m_hung = false;
};

}  // namespace testsupport
