#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// An audio source of a recording. Frames go to the frame callback with the
// source index; a null frame means the source has ended for good, so
// consumers can close that input.
class AudioCapturer {
 public:
  using FrameCallback = std::function<void(AVFrame*, int)>;
  using ErrorCallback = std::function<void(int, int)>;
  using LostCallback = std::function<void()>;

  virtual ~AudioCapturer() = default;

  // kind: 0 = speaker (loopback of a playback endpoint), 1 = microphone.
  virtual int Init(const std::string& name, const std::string& id, int kind) = 0;
  virtual int Start() = 0;
  virtual int Pause() = 0;
  virtual int Resume() = 0;
  virtual int Stop() = 0;
  virtual AVRational GetTimeBase() = 0;
  virtual int64_t GetStartTime() = 0;

  void SetCallbacks(FrameCallback frameCallback, ErrorCallback errorCallback, int index) {
    m_frameCallback = std::move(frameCallback);
    m_errorCallback = std::move(errorCallback);
    m_index = index;
  }
  // Told, on a capture thread, when the device is lost while capturing:
  // the source goes on with silence in its place. Set before Start.
  void SetLostCallback(LostCallback callback) { m_lostCallback = std::move(callback); }
  int GetChannels() const { return m_channels; }
  int GetSampleFormat() const { return m_sampleFormat; }
  int GetSampleRate() const { return m_sampleRate; }
  uint64_t GetChannelLayout() const { return m_channelLayout; }

 protected:
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_initialised{false};
  std::atomic<bool> m_paused{false};
  std::thread m_captureThread;
  int32_t m_sampleRate = 48000;
  int32_t m_byteRate = 3072000;
  int32_t m_channels = 2;
  uint64_t m_channelLayout = 0x3;  // stereo
  int32_t m_bitsPerSample = 32;
  int32_t m_sampleFormat = 3;  // AV_SAMPLE_FMT_FLT
  std::string m_deviceName;
  std::string m_deviceId;
  int32_t m_kind = 0;
  ErrorCallback m_errorCallback;
  FrameCallback m_frameCallback;
  LostCallback m_lostCallback;
  int32_t m_index = 0;
};
