#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/audio_endpoints.h"

namespace platform::fake {

struct FakeAudioPacket {
  enum class Kind { Data, Silent, Null, Invalidated, Failed };
  Kind kind = Kind::Data;
  uint32_t frames = 0;
  std::vector<uint8_t> data;  // Data and Silent; Silent data is not meant to be read
  int64_t timeUs = -1;        // the packet's time, as the device tells it
};

// Scriptable endpoints. By default: render "spk" and capture "mic", both the
// defaults for every role, mixing 48000 Hz stereo float; a manual clock.
class FakeAudioEndpoints : public AudioEndpoints {
 public:
  static FakeAudioEndpoints& Instance();

  Result List(AudioDirection direction, std::vector<AudioEndpointInfo>* endpoints) override;
  Result Default(AudioDirection direction, AudioRole role, AudioEndpointInfo* endpoint) override;
  Result Open(AudioDirection direction, const std::string& id,
              std::unique_ptr<AudioEndpoint>* endpoint) override;
  void Register(AudioEndpointListener* listener) override;
  void Unregister(AudioEndpointListener* listener) override;
  int64_t NowMicroseconds() override;
  uint64_t TickCountMs() override;

  // Script.
  void Reset();
  void SetEndpoints(AudioDirection direction, std::vector<AudioEndpointInfo> endpoints);
  // An empty id: no default.
  void SetDefault(AudioDirection direction, AudioRole role, const std::string& id);
  void SetMixFormat(const std::string& id, const AudioMixFormat& format);
  void SetListResult(Result result);
  void SetOpenResult(Result result);
  void SetMixFormatResult(Result result);
  // The next `count` capture opens fail.
  void FailCaptureOpens(int count);
  void SetSilentOpenResult(Result result);
  void SetStartResult(Result result);
  // Queued for capture streams of that endpoint id.
  void PushPacket(const std::string& id, FakeAudioPacket packet);
  // Frames the silent stream reports as queued.
  void SetRenderPadding(uint32_t frames);
  // Sets the default and tells the listeners, on the caller's thread.
  void NotifyDefaultChanged(AudioDirection direction, AudioRole role, const std::string& id);
  void SetNowMicroseconds(int64_t now);
  void AdvanceMs(int64_t ms);

  // Observations.
  int OpenCount();
  int CaptureOpenCount();
  AudioMixFormat LastCaptureFormat();
  bool LastCaptureLoopback();
  std::string LastCaptureId();
  uint64_t SilentFramesWritten();
  int RenderWaits();
  int CaptureTimeouts();
  int ListenerCount();
  size_t QueuedPackets(const std::string& id);

  // Used by the fake streams.
  std::mutex& Mutex() { return m_mutex; }
  std::condition_variable& Cond() { return m_cond; }
  std::deque<FakeAudioPacket>& Queue(const std::string& id) { return m_packets[id]; }
  Result MixFormatOf(const std::string& id, AudioMixFormat* format);
  Result OpenCaptureStream(const std::string& id, const AudioMixFormat& format, bool loopback,
                           std::unique_ptr<AudioCaptureStream>* stream);
  Result OpenSilentStream(const std::string& id, std::unique_ptr<AudioSilentStream>* stream);
  Result StartResult();
  uint32_t RenderPadding();
  void AddSilentFrames(uint64_t frames);
  void CountRenderWait();
  void CountCaptureTimeout();

 private:
  FakeAudioEndpoints() { Reset(); }

  std::mutex m_mutex;
  std::condition_variable m_cond;
  std::map<AudioDirection, std::vector<AudioEndpointInfo>> m_endpoints;
  std::map<std::pair<AudioDirection, AudioRole>, std::string> m_defaults;
  std::map<std::string, AudioMixFormat> m_formats;
  std::map<std::string, std::deque<FakeAudioPacket>> m_packets;
  Result m_listResult = Result::Ok;
  Result m_openResult = Result::Ok;
  Result m_mixFormatResult = Result::Ok;
  int m_failCaptureOpens = 0;
  Result m_silentOpenResult = Result::Ok;
  Result m_startResult = Result::Ok;
  uint32_t m_renderPadding = 0;
  int64_t m_now = 0;
  int m_openCount = 0;
  int m_captureOpenCount = 0;
  AudioMixFormat m_lastCaptureFormat;
  bool m_lastCaptureLoopback = false;
  std::string m_lastCaptureId;
  uint64_t m_silentFrames = 0;
  int m_renderWaits = 0;
  int m_captureTimeouts = 0;

  std::mutex m_listenerMutex;
  std::set<AudioEndpointListener*> m_listeners;
};

}  // namespace platform::fake
