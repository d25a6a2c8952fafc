#pragma once

#include <cstdint>
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

}  // namespace testsupport
