#include "platform/fake/fake_audio_endpoints.h"

#include <algorithm>
#include <chrono>

namespace platform::fake {
namespace {

constexpr uint32_t kFakeBufferFrames = 2400;  // 50 ms at 48 kHz

class FakeCaptureStream : public AudioCaptureStream {
 public:
  FakeCaptureStream(FakeAudioEndpoints* owner, std::string id) : m_owner(owner), m_id(std::move(id)) {}

  Result Start() override { return m_owner->StartResult(); }
  Result Stop() override { return Result::Ok; }
  uint32_t BufferFrames() override { return kFakeBufferFrames; }

  AudioWait Wait(int timeoutMs) override {
    std::unique_lock<std::mutex> lock(m_owner->Mutex());
    auto ready = [&] { return m_interrupted || !m_owner->Queue(m_id).empty(); };
    bool ok = true;
    if (timeoutMs < 0)
      m_owner->Cond().wait(lock, ready);
    else
      ok = m_owner->Cond().wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    if (m_interrupted) return AudioWait::Stopped;
    if (!ok) {
      lock.unlock();
      m_owner->CountCaptureTimeout();
      return AudioWait::Timeout;
    }
    return AudioWait::Signalled;
  }

  void Interrupt() override {
    std::lock_guard<std::mutex> lock(m_owner->Mutex());
    m_interrupted = true;
    m_owner->Cond().notify_all();
  }

  Result NextPacketSize(uint32_t* frames) override {
    std::lock_guard<std::mutex> lock(m_owner->Mutex());
    auto& queue = m_owner->Queue(m_id);
    *frames = queue.empty() ? 0 : std::max<uint32_t>(queue.front().frames, 1);
    return Result::Ok;
  }

  Result GetBuffer(AudioPacket* packet) override {
    std::lock_guard<std::mutex> lock(m_owner->Mutex());
    auto& queue = m_owner->Queue(m_id);
    if (queue.empty()) return Result::Failed;
    m_current = std::move(queue.front());
    queue.pop_front();
    switch (m_current.kind) {
      case FakeAudioPacket::Kind::Invalidated: return Result::DeviceInvalidated;
      case FakeAudioPacket::Kind::Failed: return Result::Failed;
      default: break;
    }
    packet->frames = m_current.frames;
    packet->silent = m_current.kind == FakeAudioPacket::Kind::Silent;
    packet->data = m_current.kind == FakeAudioPacket::Kind::Null ? nullptr : m_current.data.data();
    packet->timeUs = m_current.timeUs;
    return Result::Ok;
  }

  Result ReleaseBuffer(uint32_t) override { return Result::Ok; }

 private:
  FakeAudioEndpoints* m_owner;
  std::string m_id;
  bool m_interrupted = false;
  FakeAudioPacket m_current;
};

class FakeSilentStream : public AudioSilentStream {
 public:
  explicit FakeSilentStream(FakeAudioEndpoints* owner) : m_owner(owner) {}
  Result Start() override { return m_owner->StartResult(); }
  Result Stop() override { return Result::Ok; }
  uint32_t BufferFrames() override { return kFakeBufferFrames; }

  // The event comes every few milliseconds, as a device period would.
  AudioWait Wait(int timeoutMs) override {
    m_owner->CountRenderWait();
    std::unique_lock<std::mutex> lock(m_owner->Mutex());
    int period = timeoutMs < 0 ? 2 : std::min(timeoutMs, 2);
    m_owner->Cond().wait_for(lock, std::chrono::milliseconds(period), [&] { return m_interrupted; });
    return m_interrupted ? AudioWait::Stopped : AudioWait::Signalled;
  }

  void Interrupt() override {
    std::lock_guard<std::mutex> lock(m_owner->Mutex());
    m_interrupted = true;
    m_owner->Cond().notify_all();
  }

  Result CurrentPadding(uint32_t* frames) override {
    *frames = std::min(m_owner->RenderPadding(), kFakeBufferFrames);
    return Result::Ok;
  }

  Result WriteSilence(uint32_t frames) override {
    m_owner->AddSilentFrames(frames);
    return Result::Ok;
  }

 private:
  FakeAudioEndpoints* m_owner;
  bool m_interrupted = false;
};

class FakeEndpoint : public AudioEndpoint {
 public:
  FakeEndpoint(FakeAudioEndpoints* owner, std::string id) : m_owner(owner), m_id(std::move(id)) {}
  const std::string& Id() const override { return m_id; }
  Result MixFormat(AudioMixFormat* format) override { return m_owner->MixFormatOf(m_id, format); }
  Result OpenCapture(const AudioMixFormat& format, bool loopback, int64_t,
                     std::unique_ptr<AudioCaptureStream>* stream) override {
    return m_owner->OpenCaptureStream(m_id, format, loopback, stream);
  }
  Result OpenSilentRender(int64_t, std::unique_ptr<AudioSilentStream>* stream) override {
    return m_owner->OpenSilentStream(m_id, stream);
  }

 private:
  FakeAudioEndpoints* m_owner;
  std::string m_id;
};

}  // namespace

FakeAudioEndpoints& FakeAudioEndpoints::Instance() {
  static FakeAudioEndpoints instance;
  return instance;
}

void FakeAudioEndpoints::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_endpoints.clear();
  m_endpoints[AudioDirection::Render] = {{"spk", "Speakers"}};
  m_endpoints[AudioDirection::Capture] = {{"mic", "Microphone"}};
  m_defaults.clear();
  for (auto role : {AudioRole::Console, AudioRole::Communications}) {
    m_defaults[{AudioDirection::Render, role}] = "spk";
    m_defaults[{AudioDirection::Capture, role}] = "mic";
  }
  m_formats.clear();
  m_packets.clear();
  m_listResult = m_openResult = m_mixFormatResult = Result::Ok;
  m_failCaptureOpens = 0;
  m_silentOpenResult = m_startResult = Result::Ok;
  m_renderPadding = 0;
  m_now = 1000000000;
  m_openCount = m_captureOpenCount = 0;
  m_lastCaptureFormat = AudioMixFormat{};
  m_lastCaptureLoopback = false;
  m_lastCaptureId.clear();
  m_silentFrames = 0;
  m_renderWaits = m_captureTimeouts = 0;
}

Result FakeAudioEndpoints::List(AudioDirection direction, std::vector<AudioEndpointInfo>* endpoints) {
  std::lock_guard<std::mutex> lock(m_mutex);
  endpoints->clear();
  if (m_listResult != Result::Ok) return m_listResult;
  *endpoints = m_endpoints[direction];
  return Result::Ok;
}

Result FakeAudioEndpoints::Default(AudioDirection direction, AudioRole role, AudioEndpointInfo* endpoint) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_listResult != Result::Ok) return m_listResult;
  const std::string& id = m_defaults[{direction, role}];
  for (const auto& e : m_endpoints[direction]) {
    if (e.id == id) {
      *endpoint = e;
      return Result::Ok;
    }
  }
  return Result::Failed;
}

Result FakeAudioEndpoints::Open(AudioDirection direction, const std::string& id,
                                std::unique_ptr<AudioEndpoint>* endpoint) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_openCount;
  if (m_openResult != Result::Ok) return m_openResult;
  const auto& list = m_endpoints[direction];
  if (std::none_of(list.begin(), list.end(), [&](const AudioEndpointInfo& e) { return e.id == id; }))
    return Result::Failed;
  endpoint->reset(new FakeEndpoint(this, id));
  return Result::Ok;
}

void FakeAudioEndpoints::Register(AudioEndpointListener* listener) {
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  m_listeners.insert(listener);
}

void FakeAudioEndpoints::Unregister(AudioEndpointListener* listener) {
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  m_listeners.erase(listener);
}

int64_t FakeAudioEndpoints::NowMicroseconds() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_now;
}

uint64_t FakeAudioEndpoints::TickCountMs() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<uint64_t>(m_now / 1000);
}

void FakeAudioEndpoints::SetEndpoints(AudioDirection direction, std::vector<AudioEndpointInfo> endpoints) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_endpoints[direction] = std::move(endpoints);
}

void FakeAudioEndpoints::SetDefault(AudioDirection direction, AudioRole role, const std::string& id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_defaults[{direction, role}] = id;
}

void FakeAudioEndpoints::SetMixFormat(const std::string& id, const AudioMixFormat& format) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_formats[id] = format;
}

void FakeAudioEndpoints::SetListResult(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_listResult = result;
}

void FakeAudioEndpoints::SetOpenResult(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_openResult = result;
}

void FakeAudioEndpoints::SetMixFormatResult(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_mixFormatResult = result;
}

void FakeAudioEndpoints::FailCaptureOpens(int count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failCaptureOpens = count;
}

void FakeAudioEndpoints::SetSilentOpenResult(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_silentOpenResult = result;
}

void FakeAudioEndpoints::SetStartResult(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_startResult = result;
}

void FakeAudioEndpoints::PushPacket(const std::string& id, FakeAudioPacket packet) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_packets[id].push_back(std::move(packet));
  m_cond.notify_all();
}

void FakeAudioEndpoints::SetRenderPadding(uint32_t frames) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_renderPadding = frames;
}

void FakeAudioEndpoints::NotifyDefaultChanged(AudioDirection direction, AudioRole role,
                                              const std::string& id) {
  SetDefault(direction, role, id);
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  for (auto* listener : m_listeners) listener->OnDefaultDeviceChanged(direction, role, id);
}

void FakeAudioEndpoints::SetNowMicroseconds(int64_t now) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_now = now;
}

void FakeAudioEndpoints::AdvanceMs(int64_t ms) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_now += ms * 1000;
}

int FakeAudioEndpoints::OpenCount() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_openCount;
}

int FakeAudioEndpoints::CaptureOpenCount() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_captureOpenCount;
}

AudioMixFormat FakeAudioEndpoints::LastCaptureFormat() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lastCaptureFormat;
}

bool FakeAudioEndpoints::LastCaptureLoopback() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lastCaptureLoopback;
}

std::string FakeAudioEndpoints::LastCaptureId() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lastCaptureId;
}

uint64_t FakeAudioEndpoints::SilentFramesWritten() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_silentFrames;
}

int FakeAudioEndpoints::RenderWaits() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_renderWaits;
}

int FakeAudioEndpoints::CaptureTimeouts() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_captureTimeouts;
}

int FakeAudioEndpoints::ListenerCount() {
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  return static_cast<int>(m_listeners.size());
}

size_t FakeAudioEndpoints::QueuedPackets(const std::string& id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_packets[id].size();
}

Result FakeAudioEndpoints::MixFormatOf(const std::string& id, AudioMixFormat* format) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_mixFormatResult != Result::Ok) return m_mixFormatResult;
  auto it = m_formats.find(id);
  *format = it == m_formats.end() ? AudioMixFormat{} : it->second;
  return Result::Ok;
}

Result FakeAudioEndpoints::OpenCaptureStream(const std::string& id, const AudioMixFormat& format,
                                             bool loopback, std::unique_ptr<AudioCaptureStream>* stream) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_failCaptureOpens > 0) {
    --m_failCaptureOpens;
    return Result::Failed;
  }
  ++m_captureOpenCount;
  m_lastCaptureFormat = format;
  m_lastCaptureLoopback = loopback;
  m_lastCaptureId = id;
  stream->reset(new FakeCaptureStream(this, id));
  return Result::Ok;
}

Result FakeAudioEndpoints::OpenSilentStream(const std::string&, std::unique_ptr<AudioSilentStream>* stream) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_silentOpenResult != Result::Ok) return m_silentOpenResult;
  stream->reset(new FakeSilentStream(this));
  return Result::Ok;
}

Result FakeAudioEndpoints::StartResult() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_startResult;
}

uint32_t FakeAudioEndpoints::RenderPadding() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_renderPadding;
}

void FakeAudioEndpoints::AddSilentFrames(uint64_t frames) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_silentFrames += frames;
}

void FakeAudioEndpoints::CountRenderWait() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_renderWaits;
}

void FakeAudioEndpoints::CountCaptureTimeout() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_captureTimeouts;
}

}  // namespace platform::fake
