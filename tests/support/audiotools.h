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

}  // namespace testsupport
