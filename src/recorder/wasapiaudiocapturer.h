#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_endpoints.h"
#include "recorder/audiocapturer.h"
#include "recorder/audiostreamformat.h"

struct SwrContext;

class WASAPIAudioCapturer;

// Forwards default-device changes to its capturer.
class WASAPINotify : public platform::AudioEndpointListener {
 public:
  explicit WASAPINotify(WASAPIAudioCapturer* owner) : m_owner(owner) {}
  void OnDefaultDeviceChanged(platform::AudioDirection direction, platform::AudioRole role,
                              const std::string& id) override;

 private:
  WASAPIAudioCapturer* m_owner;
};

// Shared-mode capture of a microphone or, by loopback, of what a speaker
// plays. The id "Default" follows the default endpoint of the kind.
class WASAPIAudioCapturer : public AudioCapturer {
 public:
  WASAPIAudioCapturer();
  ~WASAPIAudioCapturer() override;

  int Init(const std::string& name, const std::string& id, int kind) override;
  int Start() override;
  int Pause() override;
  int Resume() override;
  int Stop() override;
  AVRational GetTimeBase() override;
  int64_t GetStartTime() override;

  // From the notification client (the backend's thread).
  void OnDefaultDeviceChanged(platform::AudioDirection direction, platform::AudioRole role);

 private:
  int OpenDevice();
  int InitFormat();
  int InitLoopbackRender();
  int StartLocked();
  void StopLocked();
  void ReleaseClients();
  void CaptureLoop();
  void RenderLoop();
  // Reads every packet the endpoint holds; draining reads them after Stop.
  int ReadPackets(AVFrame* frame, bool draining = false);
  void DeliverFrame(AVFrame* frame, const uint8_t* data, uint32_t frames);
  bool SetUpConversion();
  void RestartLoop();
  void JoinRestartThread();

  platform::AudioMixFormat m_mixFormat;
  std::unique_ptr<platform::AudioEndpoint> m_device;
  std::unique_ptr<platform::AudioCaptureStream> m_captureClient;
  std::unique_ptr<platform::AudioSilentStream> m_renderClient;
  std::thread m_renderThread;
  uint32_t m_captureBufferFrames = 0;
  uint32_t m_renderBufferFrames = 0;
  bool m_followsDefault = false;
  int64_t m_startTime = 0;
  // The continuous timeline: its start (µs; none before the first packet)
  // and the frames delivered since. Start (also after a device restart)
  // begins a new one.
  int64_t m_timelineStart = INT64_MIN;
  int64_t m_timelineFrames = 0;
  uint64_t m_lastRestartTick = 0;
  std::shared_ptr<WASAPINotify> m_notify;
  bool m_notifyRegistered = false;

  // The format of the stream as read from the device, and whether frames
  // are converted to the format negotiated at the first open.
  bool m_negotiated = false;
  int m_deviceSampleRate = 0;
  int m_deviceChannels = 0;
  uint64_t m_deviceLayout = 0;
  int m_deviceSampleFormat = -1;
  SwrContext* m_swr = nullptr;
  std::vector<uint8_t> m_convertBuffer;
  std::vector<uint8_t> m_silence;

  // Serialises Stop, OpenDevice and Start of a restart with the owner.
  std::mutex m_opMutex;
  // Guards the restart thread's handle and bookkeeping.
  std::mutex m_restartMutex;
  std::thread m_restartThread;
  bool m_restartRunning = false;
  bool m_restartPending = false;
  std::atomic<bool> m_shuttingDown{false};
};
