// The PulseAudio capture and silent render streams of an endpoint.
#include "platform/linux/audio_endpoints_pulse.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>

#include <glog/logging.h>

namespace platform::native::pulse {
namespace {

// Speaker-position bits of the mix format for the positions we know.
uint32_t PositionBit(pa_channel_position_t p) {
  switch (p) {
    case PA_CHANNEL_POSITION_FRONT_LEFT: return 0x1;
    case PA_CHANNEL_POSITION_FRONT_RIGHT: return 0x2;
    case PA_CHANNEL_POSITION_FRONT_CENTER: return 0x4;
    case PA_CHANNEL_POSITION_MONO: return 0x4;
    case PA_CHANNEL_POSITION_LFE: return 0x8;
    case PA_CHANNEL_POSITION_REAR_LEFT: return 0x10;
    case PA_CHANNEL_POSITION_REAR_RIGHT: return 0x20;
    case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER: return 0x40;
    case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER: return 0x80;
    case PA_CHANNEL_POSITION_REAR_CENTER: return 0x100;
    case PA_CHANNEL_POSITION_SIDE_LEFT: return 0x200;
    case PA_CHANNEL_POSITION_SIDE_RIGHT: return 0x400;
    default: return 0;
  }
}

uint32_t MaskOf(const pa_channel_map& map) {
  uint32_t mask = 0;
  for (unsigned i = 0; i < map.channels; ++i) {
    uint32_t bit = PositionBit(map.map[i]);
    if (bit == 0 || (mask & bit)) return 0;
    mask |= bit;
  }
  return mask;
}

pa_channel_map MapOf(uint32_t mask, int channels) {
  static const std::pair<uint32_t, pa_channel_position_t> kBits[] = {
      {0x1, PA_CHANNEL_POSITION_FRONT_LEFT},
      {0x2, PA_CHANNEL_POSITION_FRONT_RIGHT},
      {0x4, PA_CHANNEL_POSITION_FRONT_CENTER},
      {0x8, PA_CHANNEL_POSITION_LFE},
      {0x10, PA_CHANNEL_POSITION_REAR_LEFT},
      {0x20, PA_CHANNEL_POSITION_REAR_RIGHT},
      {0x40, PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER},
      {0x80, PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER},
      {0x100, PA_CHANNEL_POSITION_REAR_CENTER},
      {0x200, PA_CHANNEL_POSITION_SIDE_LEFT},
      {0x400, PA_CHANNEL_POSITION_SIDE_RIGHT},
  };
  pa_channel_map map;
  pa_channel_map_init(&map);
  if (channels == 1 && (mask == 0 || mask == 0x4)) {
    map.channels = 1;
    map.map[0] = PA_CHANNEL_POSITION_MONO;
    return map;
  }
  for (const auto& [bit, pos] : kBits)
    if ((mask & bit) && map.channels < PA_CHANNELS_MAX) map.map[map.channels++] = pos;
  if (static_cast<int>(map.channels) != channels)
    pa_channel_map_init_extend(&map, static_cast<unsigned>(channels), PA_CHANNEL_MAP_WAVEEX);
  return map;
}

// State, event and interruption shared by both stream kinds.
class PulseStreamBase {
 protected:
  // Both kinds start stopped, keep the latency asked for, and stay on the
  // device they were opened for (a change of default restarts them instead).
  static constexpr pa_stream_flags_t kStreamFlags = static_cast<pa_stream_flags_t>(
      PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);

  PulseStreamBase(pa_threaded_mainloop* loop, pa_stream* stream, size_t frameSize)
      : m_loop(loop), m_stream(stream), m_frameSize(frameSize) {}

  ~PulseStreamBase() {
    pa_threaded_mainloop_lock(m_loop);
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    pa_stream_set_write_callback(m_stream, nullptr, nullptr);
    pa_stream_disconnect(m_stream);
    pa_stream_unref(m_stream);
    pa_threaded_mainloop_unlock(m_loop);
  }

  // Connects with the callbacks installed; mainloop lock held.
  bool WaitReady() {
    if (!WaitServer(m_loop, Context(), [this] {
          const pa_stream_state_t state = pa_stream_get_state(m_stream);
          return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        }))
      LOG(ERROR) << "pulseaudio does not answer, its connection is dropped";
    return pa_stream_get_state(m_stream) == PA_STREAM_READY;
  }

  pa_context* Context() { return pa_stream_get_context(m_stream); }

  static void OnState(pa_stream* s, void* userdata) {
    auto* self = static_cast<PulseStreamBase*>(userdata);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s))) {
      std::lock_guard<std::mutex> lock(self->m_eventMutex);
      self->m_failed = true;
      self->m_event.notify_all();
    }
    pa_threaded_mainloop_signal(self->m_loop, 0);
  }

  static void OnData(pa_stream*, size_t, void* userdata) {
    auto* self = static_cast<PulseStreamBase*>(userdata);
    std::lock_guard<std::mutex> lock(self->m_eventMutex);
    self->m_signalled = true;
    self->m_event.notify_all();
  }

  AudioWait WaitEvent(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_eventMutex);
    auto ready = [&] { return m_interrupted || m_signalled || m_failed; };
    if (timeoutMs < 0)
      m_event.wait(lock, ready);
    else if (!m_event.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
      return AudioWait::Timeout;
    if (m_interrupted) return AudioWait::Stopped;
    m_signalled = false;
    return AudioWait::Signalled;
  }

  void InterruptEvent() {
    std::lock_guard<std::mutex> lock(m_eventMutex);
    m_interrupted = true;
    m_event.notify_all();
  }

  bool Failed() {
    std::lock_guard<std::mutex> lock(m_eventMutex);
    return m_failed;
  }

  Result Cork(int cork) {
    pa_threaded_mainloop_lock(m_loop);
    bool ok = !Failed() && Await(m_loop, Context(), pa_stream_cork(m_stream, cork, SuccessCallback, m_loop));
    pa_threaded_mainloop_unlock(m_loop);
    return ok ? Result::Ok : Result::Failed;
  }

  pa_threaded_mainloop* m_loop;
  pa_stream* m_stream;
  size_t m_frameSize;
  uint32_t m_bufferFrames = 0;
  std::mutex m_eventMutex;
  std::condition_variable m_event;
  bool m_signalled = false;
  bool m_interrupted = false;
  bool m_failed = false;
};

class PulseCaptureStream : public AudioCaptureStream, PulseStreamBase {
 public:
  PulseCaptureStream(pa_threaded_mainloop* loop, pa_stream* stream, size_t frameSize)
      : PulseStreamBase(loop, stream, frameSize) {}

  // Mainloop lock held.
  bool Connect(const std::string& source, size_t bufferBytes, size_t fragmentBytes) {
    pa_stream_set_state_callback(m_stream, &PulseStreamBase::OnState, static_cast<PulseStreamBase*>(this));
    pa_stream_set_read_callback(m_stream, &PulseStreamBase::OnData, static_cast<PulseStreamBase*>(this));
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(bufferBytes * 4);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(fragmentBytes);
    // Timing kept up to date tells each packet's time.
    const auto flags = static_cast<pa_stream_flags_t>(kStreamFlags | PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(m_stream, source.c_str(), &attr, flags) < 0) return false;
    if (!WaitReady()) return false;
    m_bufferFrames = static_cast<uint32_t>(bufferBytes / m_frameSize);
    return true;
  }

  Result Start() override {
    pa_threaded_mainloop_lock(m_loop);
    m_timed = false;
    pa_threaded_mainloop_unlock(m_loop);
    return Cork(0);
  }
  Result Stop() override { return Cork(1); }
  uint32_t BufferFrames() override { return m_bufferFrames; }
  AudioWait Wait(int timeoutMs) override { return WaitEvent(timeoutMs); }
  void Interrupt() override { InterruptEvent(); }

  Result NextPacketSize(uint32_t* frames) override {
    pa_threaded_mainloop_lock(m_loop);
    Result r = PeekLocked();
    *frames = r == Result::Ok ? static_cast<uint32_t>(m_peekBytes / m_frameSize) : 0;
    pa_threaded_mainloop_unlock(m_loop);
    return r;
  }

  Result GetBuffer(AudioPacket* packet) override {
    pa_threaded_mainloop_lock(m_loop);
    Result r = PeekLocked();
    if (r == Result::Ok) {
      packet->frames = static_cast<uint32_t>(m_peekBytes / m_frameSize);
      // A hole in the stream is silence.
      packet->silent = m_peekData == nullptr;
      packet->data = static_cast<const uint8_t*>(m_peekData);
      // The latency is the age of the next frame to read; from a monitor it
      // is negative until the frame is played. The timing is fetched afresh
      // once sound flows: until then it is that of the stream before it
      // started.
      packet->timeUs = -1;
      if (m_peeked) {
        if (!m_timed)
          m_timed = Await(m_loop, Context(), pa_stream_update_timing_info(m_stream, SuccessCallback, m_loop));
        pa_usec_t usec = 0;
        int negative = 0;
        if (pa_stream_get_latency(m_stream, &usec, &negative) == 0) {
          const auto latency = static_cast<int64_t>(usec);
          packet->timeUs = SteadyMicroseconds() - (negative ? -latency : latency);
        }
      }
    }
    pa_threaded_mainloop_unlock(m_loop);
    return r;
  }

  Result ReleaseBuffer(uint32_t) override {
    pa_threaded_mainloop_lock(m_loop);
    Result r = Result::Ok;
    if (m_peeked) {
      if (pa_stream_drop(m_stream) < 0) r = Result::Failed;
      m_peeked = false;
      m_peekData = nullptr;
      m_peekBytes = 0;
    }
    pa_threaded_mainloop_unlock(m_loop);
    return r;
  }

 private:
  Result PeekLocked() {
    if (Failed()) return Result::DeviceInvalidated;
    if (m_peeked) return Result::Ok;
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(m_stream, &data, &bytes) < 0) return Result::Failed;
    if (bytes == 0) return Result::Ok;
    m_peeked = true;
    m_peekData = data;
    m_peekBytes = bytes;
    return Result::Ok;
  }

  bool m_peeked = false;
  bool m_timed = false;
  const void* m_peekData = nullptr;
  size_t m_peekBytes = 0;
};

class PulseSilentStream : public AudioSilentStream, PulseStreamBase {
 public:
  PulseSilentStream(pa_threaded_mainloop* loop, pa_stream* stream, size_t frameSize)
      : PulseStreamBase(loop, stream, frameSize) {}

  bool Connect(const std::string& sink, size_t bufferBytes) {
    pa_stream_set_state_callback(m_stream, &PulseStreamBase::OnState, static_cast<PulseStreamBase*>(this));
    pa_stream_set_write_callback(m_stream, &PulseStreamBase::OnData, static_cast<PulseStreamBase*>(this));
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(bufferBytes);
    attr.prebuf = 0;  // keep playing through underruns
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    if (pa_stream_connect_playback(m_stream, sink.c_str(), &attr, kStreamFlags, nullptr, nullptr) < 0)
      return false;
    if (!WaitReady()) return false;
    const pa_buffer_attr* actual = pa_stream_get_buffer_attr(m_stream);
    m_bufferFrames = static_cast<uint32_t>((actual ? actual->tlength : bufferBytes) / m_frameSize);
    return true;
  }

  Result Start() override { return Cork(0); }
  Result Stop() override { return Cork(1); }
  uint32_t BufferFrames() override { return m_bufferFrames; }
  AudioWait Wait(int timeoutMs) override { return WaitEvent(timeoutMs); }
  void Interrupt() override { InterruptEvent(); }

  Result CurrentPadding(uint32_t* frames) override {
    pa_threaded_mainloop_lock(m_loop);
    Result r = Result::Ok;
    size_t writable = Failed() ? static_cast<size_t>(-1) : pa_stream_writable_size(m_stream);
    if (writable == static_cast<size_t>(-1)) {
      r = Result::DeviceInvalidated;
      *frames = 0;
    } else {
      uint32_t free = static_cast<uint32_t>(writable / m_frameSize);
      *frames = free >= m_bufferFrames ? 0 : m_bufferFrames - free;
    }
    pa_threaded_mainloop_unlock(m_loop);
    return r;
  }

  Result WriteSilence(uint32_t frames) override {
    if (frames == 0) return Result::Ok;
    pa_threaded_mainloop_lock(m_loop);
    Result r = Result::Ok;
    size_t writable = Failed() ? static_cast<size_t>(-1) : pa_stream_writable_size(m_stream);
    if (writable == static_cast<size_t>(-1)) {
      r = Result::DeviceInvalidated;
    } else {
      size_t bytes = std::min(writable, frames * m_frameSize);
      bytes -= bytes % m_frameSize;
      if (bytes > 0) {
        if (m_zeros.size() < bytes) m_zeros.assign(bytes, 0);
        if (pa_stream_write(m_stream, m_zeros.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
          r = Result::Failed;
      }
    }
    pa_threaded_mainloop_unlock(m_loop);
    return r;
  }

 private:
  std::vector<uint8_t> m_zeros;
};

}  // namespace

Result PulseEndpoint::MixFormat(AudioMixFormat* format) {
  format->tag = AudioFormatTag::Extensible;
  format->subFormat = AudioSubFormat::IeeeFloat;
  format->bitsPerSample = 32;
  format->sampleRate = static_cast<int>(m_record.spec.rate);
  format->channels = m_record.spec.channels;
  format->channelMask = MaskOf(m_record.map);
  return Result::Ok;
}

Result PulseEndpoint::OpenCapture(const AudioMixFormat& format, bool loopback, int64_t bufferUs,
                                  std::unique_ptr<AudioCaptureStream>* stream) {
  std::string source = m_record.name;
  if (loopback) {
    if (m_direction != AudioDirection::Render || m_record.monitor.empty()) return Result::Unsupported;
    source = m_record.monitor;
  }
  pa_sample_spec spec;
  bool isFloat = format.tag == AudioFormatTag::IeeeFloat ||
                 (format.tag == AudioFormatTag::Extensible && format.subFormat == AudioSubFormat::IeeeFloat);
  if (isFloat && format.bitsPerSample == 32)
    spec.format = PA_SAMPLE_FLOAT32LE;
  else if (!isFloat && format.bitsPerSample == 16)
    spec.format = PA_SAMPLE_S16LE;
  else if (!isFloat && format.bitsPerSample == 32)
    spec.format = PA_SAMPLE_S32LE;
  else
    return Result::Unsupported;
  spec.rate = static_cast<uint32_t>(format.sampleRate);
  spec.channels = static_cast<uint8_t>(format.channels);
  pa_channel_map map = MapOf(format.channelMask, format.channels);
  if (!pa_sample_spec_valid(&spec) || !pa_channel_map_valid(&map)) return Result::Unsupported;

  ContextRef context = m_owner->Connect();
  if (!context) return Result::Failed;
  pa_threaded_mainloop* loop = context.loop();
  pa_threaded_mainloop_lock(loop);
  pa_stream* s = pa_stream_new(context.get(), "korvorec capture", &spec, &map);
  if (!s) {
    pa_threaded_mainloop_unlock(loop);
    return Result::Failed;
  }
  size_t frameSize = pa_frame_size(&spec);
  auto capture = std::make_unique<PulseCaptureStream>(loop, s, frameSize);
  size_t bufferBytes = pa_usec_to_bytes(static_cast<pa_usec_t>(bufferUs), &spec);
  size_t fragmentBytes = pa_usec_to_bytes(10000, &spec);
  bool ok = capture->Connect(source, bufferBytes, fragmentBytes);
  pa_threaded_mainloop_unlock(loop);
  if (!ok) {
    LOG(ERROR) << "record " << source << " failed";
    return Result::Failed;
  }
  *stream = std::move(capture);
  return Result::Ok;
}

Result PulseEndpoint::OpenSilentRender(int64_t bufferUs, std::unique_ptr<AudioSilentStream>* stream) {
  if (m_direction != AudioDirection::Render) return Result::Unsupported;
  pa_sample_spec spec;
  spec.format = PA_SAMPLE_FLOAT32LE;
  spec.rate = m_record.spec.rate;
  spec.channels = m_record.spec.channels;
  ContextRef context = m_owner->Connect();
  if (!context) return Result::Failed;
  pa_threaded_mainloop* loop = context.loop();
  pa_threaded_mainloop_lock(loop);
  pa_stream* s = pa_stream_new(context.get(), "korvorec silence", &spec, &m_record.map);
  if (!s) {
    pa_threaded_mainloop_unlock(loop);
    return Result::Failed;
  }
  auto silent = std::make_unique<PulseSilentStream>(loop, s, pa_frame_size(&spec));
  bool ok = silent->Connect(m_record.name, pa_usec_to_bytes(static_cast<pa_usec_t>(bufferUs), &spec));
  pa_threaded_mainloop_unlock(loop);
  if (!ok) return Result::Failed;
  *stream = std::move(silent);
  return Result::Ok;
}

}  // namespace platform::native::pulse
