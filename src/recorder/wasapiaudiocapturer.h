#pragma once

#include <atomic>
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
//
// From Start to Stop the frames form one unbroken stream whose timestamps
// follow the monotonic clock: what the device cannot deliver (before its
// first packet, while it is lost or being restarted, a stall, the tail at
// Stop) is filled with silence, and the device clock's drift is absorbed by
// slewing the timestamps, never by dropping sound. A lost device is opened
// again once it is there (a device that is there but fails to open is tried
// less and less often), and the lost callback is told.
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
  // Starts the opened device's threads, or a silent stand-in without one.
  int StartSession();
  // Ends them; drain reads what the device still holds.
  void StopSession(bool drain);
  void Restart();
  void ReleaseClients();
  void CaptureLoop();
  void RenderLoop();
  // Reads every packet the endpoint holds and delivers them; -1 when the
  // device failed.
  int ReadPackets(bool draining = false);
  void DeliverPass();
  void Emit(const uint8_t* data, uint32_t frames);
  void FillSilenceTo(int64_t until);
  int64_t TimelineEnd() const;
  bool DeviceAvailable();
  bool SetUpConversion();
  void RequestRestart();
  // Tells the lost callback, once until the device is back.
  void ReportLost();
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
  uint64_t m_lastRestartTick = 0;
  std::shared_ptr<WASAPINotify> m_notify;
  bool m_notifyRegistered = false;

  // The current device's threads run while set.
  std::atomic<bool> m_sessionActive{false};
  bool m_drainOnStop = false;
  // The first packets of a session fill the time before them.
  bool m_sessionFresh = false;

  // The timeline, touched by one thread at a time (the capture thread, or
  // its owner once it is joined): its origin (µs), the frames delivered,
  // the slewed offset and the filtered error against the clock (µs).
  int64_t m_timelineStart = 0;
  int64_t m_timelineFrames = 0;
  double m_offsetUs = 0;
  double m_driftUs = 0;
  AVFrame* m_frame = nullptr;
  // One pass of packets, converted, before it is delivered.
  std::vector<uint8_t> m_passData;
  std::vector<uint32_t> m_passFrames;
  int64_t m_passTime = -1;  // the device's time of the pass's first frame, -1 unknown
  int64_t m_deviceLeadUs = 0;  // how far the device's time is ahead of the read time

  // The format of the stream as read from the device, and whether frames
  // are converted to the format negotiated at the first open.
  bool m_negotiated = false;
  int m_deviceSampleRate = 0;
  int m_deviceChannels = 0;
  uint64_t m_deviceLayout = 0;
  int m_deviceSampleFormat = -1;
  SwrContext* m_swr = nullptr;
  std::vector<uint8_t> m_silence;

  // Serialises Start, Stop and restarts.
  std::mutex m_opMutex;
  // Guards the restart thread's handle and bookkeeping.
  std::mutex m_restartMutex;
  std::thread m_restartThread;
  bool m_restartRunning = false;
  bool m_restartPending = false;
  std::atomic<bool> m_shuttingDown{false};
  // The wait before the next try to open a lost device (ms), set by the
  // restarts before they start the session's thread.
  uint64_t m_retryMs = 0;
  std::atomic<bool> m_lostReported{false};
};
