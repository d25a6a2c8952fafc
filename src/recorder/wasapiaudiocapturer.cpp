#include "recorder/wasapiaudiocapturer.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/common.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <cstdlib>

#include <glog/logging.h>

using platform::AudioDirection;
using platform::AudioRole;
using platform::AudioWait;
using platform::Result;

namespace {

const char kDefaultId[] = "Default";
constexpr int64_t kBufferUs = 50000;  // 50 ms
constexpr int kLoopbackWaitMs = 10;

uint64_t DefaultLayout(int channels) {
  AVChannelLayout layout;
  av_channel_layout_default(&layout, channels);
  uint64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
  av_channel_layout_uninit(&layout);
  return mask;
}

// A layout mask that names exactly `channels` channels.
uint64_t UsableLayout(uint64_t layout, int channels) {
  if (layout != 0 && av_popcount64(layout) == channels) return layout;
  return DefaultLayout(channels);
}

uint64_t LayoutFromMask(uint32_t mask, int channels) {
  switch (mask) {
    case 0x0B: return 0x0B;  // 2.1: the low-frequency channel stays LFE
    case 0x107: return 0x107;
    case 0x10F: return 0x10F;
    case 0x60F: return 0x3F;
    case 0x63F: return 0x63F;
    default: return DefaultLayout(channels);
  }
}

void SetFrameLayout(AVFrame* frame, uint64_t mask, int channels) {
  av_channel_layout_uninit(&frame->ch_layout);
  av_channel_layout_from_mask(&frame->ch_layout, UsableLayout(mask, channels));
#if FF_API_OLD_CHANNEL_LAYOUT
  // The filters of this FFmpeg still compare the old fields, which they may
  // also have filled in on a frame we reuse.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  frame->channel_layout = UsableLayout(mask, channels);
  frame->channels = channels;
#pragma GCC diagnostic pop
#endif
}

}  // namespace

void WASAPINotify::OnDefaultDeviceChanged(AudioDirection direction, AudioRole role, const std::string&) {
  m_owner->OnDefaultDeviceChanged(direction, role);
}

WASAPIAudioCapturer::WASAPIAudioCapturer() = default;

WASAPIAudioCapturer::~WASAPIAudioCapturer() {
  Stop();
  m_notify.reset();
}

int WASAPIAudioCapturer::Init(const std::string& name, const std::string& id, int kind) {
  if (m_initialised) {
    LOG(ERROR) << "init has finished";
    return 0;
  }
  if (id.empty()) {
    LOG(ERROR) << "device is emtpy";
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_opMutex);
  m_deviceName = name;
  m_deviceId = id;
  m_kind = kind;
  m_followsDefault = id == kDefaultId;
  m_negotiated = false;
  return OpenDevice();
}

int WASAPIAudioCapturer::OpenDevice() {
  auto& endpoints = platform::GetAudioEndpoints();
  const bool mic = m_kind == 1;
  const AudioDirection flow = mic ? AudioDirection::Capture : AudioDirection::Render;
  const AudioRole role = mic ? AudioRole::Communications : AudioRole::Console;
  Result r = Result::Ok;
  std::string id = m_deviceId;

  if (m_notifyRegistered) {
    endpoints.Unregister(m_notify.get());
    m_notifyRegistered = false;
  }
  m_notify = std::make_shared<WASAPINotify>(this);
  endpoints.Register(m_notify.get());
  m_notifyRegistered = true;

  if (m_followsDefault) {
    platform::AudioEndpointInfo info;
    r = endpoints.Default(flow, role, &info);
    if (r == Result::Ok) id = info.id;
  }
  if (r == Result::Ok) r = endpoints.Open(flow, id, &m_device);
  if (r != Result::Ok) {
    LOG(ERROR) << "GetDefaultAudioEndpoint failed:" << platform::ResultName(r);
    goto fail;
  }
  r = m_device->MixFormat(&m_mixFormat);
  if (r != Result::Ok) {
    LOG(ERROR) << "GetMixFormat failed:" << platform::ResultName(r);
    goto fail;
  }
  if (m_mixFormat.tag == platform::AudioFormatTag::Other) {
    LOG(ERROR) << "Failed to force 16-bit PCM";
    goto fail;
  }
  if (m_mixFormat.sampleRate > 96000) {
    LOG(ERROR) << "sampling rate is bigger than 96kHz. " << m_mixFormat.sampleRate;
    goto fail;
  }
  if (m_mixFormat.channels < 1 || m_mixFormat.channels > 8) {
    LOG(ERROR) << "Unsupported channels " << m_mixFormat.channels;
    goto fail;
  }
  if (InitFormat() != 0) {
    LOG(ERROR) << "Init format failed";
    goto fail;
  }

  r = m_device->OpenCapture(m_mixFormat, !mic, kBufferUs, &m_captureClient);
  if (r != Result::Ok) {
    LOG(ERROR) << "Initialize failed:" << platform::ResultName(r);
    if (mic || m_mixFormat.channels <= 2) goto fail;
    LOG(INFO) << "Audio channel is more than 2";
    m_mixFormat.channelMask = 0x3;
    m_mixFormat.channels = 2;
    m_deviceChannels = 2;
    m_deviceLayout = AV_CH_LAYOUT_STEREO;
    r = m_device->OpenCapture(m_mixFormat, true, kBufferUs, &m_captureClient);
    if (r != Result::Ok) {
      LOG(ERROR) << "Initialize failed:" << platform::ResultName(r);
      goto fail;
    }
  }
  if (!mic && InitLoopbackRender() != 0) goto fail;
  m_captureBufferFrames = m_captureClient->BufferFrames();
  if (!SetUpConversion()) goto fail;
  m_initialised = true;
  return 0;

fail:
  LOG(ERROR) << "wasapi initialize failed";
  ReleaseClients();
  return -1;
}

int WASAPIAudioCapturer::InitFormat() {
  using platform::AudioFormatTag;
  using platform::AudioSubFormat;
  bool isFloat = m_mixFormat.tag == AudioFormatTag::IeeeFloat;
  if (m_mixFormat.tag == AudioFormatTag::Extensible) {
    if (m_mixFormat.subFormat == AudioSubFormat::Other) {
      LOG(ERROR) << "Failed to force 16-bit samples";
      return -1;
    }
    isFloat = m_mixFormat.subFormat == AudioSubFormat::IeeeFloat;
  }
  // Frames are labelled with the format the endpoint really delivers.
  AVSampleFormat format = AV_SAMPLE_FMT_NONE;
  if (isFloat && m_mixFormat.bitsPerSample == 32)
    format = AV_SAMPLE_FMT_FLT;
  else if (!isFloat && m_mixFormat.bitsPerSample == 16)
    format = AV_SAMPLE_FMT_S16;
  else if (!isFloat && m_mixFormat.bitsPerSample == 32)
    format = AV_SAMPLE_FMT_S32;
  if (format == AV_SAMPLE_FMT_NONE) {
    LOG(ERROR) << "Unsupported bits per sample " << m_mixFormat.bitsPerSample;
    return -1;
  }
  m_deviceSampleFormat = format;
  m_deviceSampleRate = m_mixFormat.sampleRate;
  m_deviceChannels = m_mixFormat.channels;
  m_deviceLayout = m_mixFormat.tag == AudioFormatTag::Extensible
                       ? LayoutFromMask(m_mixFormat.channelMask, m_mixFormat.channels)
                       : DefaultLayout(m_mixFormat.channels);
  LOG(INFO) << "CAPTURER sr is " << m_deviceSampleRate << ",number is " << m_deviceChannels
            << ",channel out is " << m_deviceLayout;
  return 0;
}

// The first open of a recording fixes the format of the frames; a later
// device with another format is converted to it.
bool WASAPIAudioCapturer::SetUpConversion() {
  swr_free(&m_swr);
  const int bytes = av_get_bytes_per_sample(static_cast<AVSampleFormat>(m_deviceSampleFormat));
  if (!m_negotiated) {
    m_sampleRate = m_deviceSampleRate;
    m_channels = m_deviceChannels;
    m_channelLayout = UsableLayout(m_deviceLayout, m_deviceChannels);
    m_sampleFormat = m_deviceSampleFormat;
    m_bitsPerSample = bytes * 8;
    m_byteRate = m_sampleRate * m_channels * bytes;
    m_negotiated = true;
    return true;
  }
  const uint64_t deviceLayout = UsableLayout(m_deviceLayout, m_deviceChannels);
  if (m_deviceSampleRate == m_sampleRate && m_deviceChannels == m_channels &&
      m_deviceSampleFormat == m_sampleFormat && deviceLayout == m_channelLayout)
    return true;
  AVChannelLayout in, out;
  av_channel_layout_from_mask(&in, deviceLayout);
  av_channel_layout_from_mask(&out, m_channelLayout);
  int ret = swr_alloc_set_opts2(&m_swr, &out, static_cast<AVSampleFormat>(m_sampleFormat), m_sampleRate, &in,
                                static_cast<AVSampleFormat>(m_deviceSampleFormat), m_deviceSampleRate, 0,
                                nullptr);
  if (ret >= 0) ret = swr_init(m_swr);
  if (ret < 0) {
    LOG(ERROR) << "audio format conversion failed";
    swr_free(&m_swr);
    return false;
  }
  LOG(INFO) << "device format " << m_deviceSampleRate << "/" << m_deviceChannels << " converted to "
            << m_sampleRate << "/" << m_channels;
  return true;
}

int WASAPIAudioCapturer::InitLoopbackRender() {
  Result r = m_device->OpenSilentRender(kBufferUs, &m_renderClient);
  if (r != Result::Ok) {
    LOG(ERROR) << "Audio inits failed:" << platform::ResultName(r);
    return -1;
  }
  m_renderBufferFrames = m_renderClient->BufferFrames();
  if (m_renderBufferFrames == 0) {
    LOG(ERROR) << "GetBufferSize failed:";
    return -1;
  }
  r = m_renderClient->WriteSilence(m_renderBufferFrames);
  if (r != Result::Ok) {
    LOG(ERROR) << "ReleaseBuffer failed:" << platform::ResultName(r);
    return -1;
  }
  return 0;
}

int WASAPIAudioCapturer::Start() {
  std::lock_guard<std::mutex> lock(m_opMutex);
  return StartLocked();
}

int WASAPIAudioCapturer::StartLocked() {
  if (m_running) {
    LOG(ERROR) << "audio record is already running";
    return -1;
  }
  if (!m_initialised) {
    LOG(ERROR) << "audio record doesn't init";
    return -1;
  }
  Result r;
  if (m_kind == 0) {
    r = m_renderClient->Start();
    if (r != Result::Ok) {
      LOG(ERROR) << "Start render client failed:" << platform::ResultName(r);
      return -1;
    }
  }
  r = m_captureClient->Start();
  if (r != Result::Ok) {
    LOG(ERROR) << "capture client starts failed:" << platform::ResultName(r);
    if (m_renderClient) m_renderClient->Stop();
    return -1;
  }
  m_startTime = platform::GetAudioEndpoints().NowMicroseconds();
  m_timelineStart = INT64_MIN;
  m_timelineFrames = 0;
  m_running = true;
  if (m_kind == 0) m_renderThread = std::thread(&WASAPIAudioCapturer::RenderLoop, this);
  m_captureThread = std::thread(&WASAPIAudioCapturer::CaptureLoop, this);
  return 0;
}

int WASAPIAudioCapturer::Pause() {
  m_paused = true;
  return 0;
}

int WASAPIAudioCapturer::Resume() {
  m_paused = false;
  return 0;
}

int WASAPIAudioCapturer::Stop() {
  m_shuttingDown = true;
  JoinRestartThread();
  {
    std::lock_guard<std::mutex> lock(m_opMutex);
    StopLocked();
  }
  m_shuttingDown = false;
  return 0;
}

void WASAPIAudioCapturer::StopLocked() {
  m_running = false;
  if (m_captureClient) m_captureClient->Interrupt();
  if (m_renderClient) m_renderClient->Interrupt();
  if (m_renderThread.joinable()) m_renderThread.join();
  if (m_captureThread.joinable()) m_captureThread.join();
  if (m_captureClient) m_captureClient->Stop();
  if (m_renderClient) m_renderClient->Stop();
  ReleaseClients();
}

void WASAPIAudioCapturer::ReleaseClients() {
  m_captureClient.reset();
  m_renderClient.reset();
  m_device.reset();
  swr_free(&m_swr);
  if (m_notifyRegistered) {
    platform::GetAudioEndpoints().Unregister(m_notify.get());
    m_notifyRegistered = false;
  }
  m_initialised = false;
}

AVRational WASAPIAudioCapturer::GetTimeBase() { return AVRational{1, 1000000}; }

int64_t WASAPIAudioCapturer::GetStartTime() { return m_startTime; }

void WASAPIAudioCapturer::CaptureLoop() {
  AVFrame* frame = av_frame_alloc();
  const int timeout = m_kind == 0 ? kLoopbackWaitMs : -1;
  bool failed = false;
  while (frame && m_running) {
    AudioWait wait = m_captureClient->Wait(timeout);
    if (wait == AudioWait::Stopped) break;
    if (ReadPackets(frame) != 0) {
      LOG(ERROR) << "DoRecord failed";
      failed = true;
      break;
    }
  }
  // Stopping: what the endpoint already holds belongs to the recording.
  if (frame && !failed) ReadPackets(frame, true);
  av_frame_free(&frame);
  // The source has ended: consumers close its input instead of waiting.
  if (failed && m_frameCallback) m_frameCallback(nullptr, m_index);
}

int WASAPIAudioCapturer::ReadPackets(AVFrame* frame, bool draining) {
  while (m_running || draining) {
    uint32_t frames = 0;
    Result r = m_captureClient->NextPacketSize(&frames);
    if (r == Result::DeviceInvalidated) return -1;
    if (r != Result::Ok) {
      LOG(ERROR) << "GetNextPacketSize failed: " << platform::ResultName(r);
      return -1;
    }
    if (frames == 0) return 0;
    platform::AudioPacket packet;
    r = m_captureClient->GetBuffer(&packet);
    if (r == Result::DeviceInvalidated) return -1;
    if (r != Result::Ok) {
      LOG(ERROR) << "GetBuffer failed:" << platform::ResultName(r);
      return -1;
    }
    const uint8_t* data = packet.data;
    if (!packet.silent && !data) LOG(ERROR) << "buffer invalid is";
    if (packet.silent || !data) {
      // Silence keeps its place in the timeline.
      const size_t bytes = static_cast<size_t>(packet.frames) *
                           av_get_bytes_per_sample(static_cast<AVSampleFormat>(m_deviceSampleFormat)) *
                           m_deviceChannels;
      if (m_silence.size() < bytes) m_silence.assign(bytes, 0);
      data = m_silence.data();
    }
    DeliverFrame(frame, data, packet.frames);
    m_captureClient->ReleaseBuffer(packet.frames);
  }
  return 0;
}

void WASAPIAudioCapturer::DeliverFrame(AVFrame* frame, const uint8_t* data, uint32_t frames) {
  if (frames == 0) return;
  const int64_t now = platform::GetAudioEndpoints().NowMicroseconds();
  const int64_t duration = (static_cast<int64_t>(frames) * 1000000000 / m_deviceSampleRate) / 1000;
  int64_t pts = now - duration;
  // Packets arrive in uneven pieces (a sound server splits its periods), so
  // arrival times jitter and may even run backwards. A packet that arrives
  // about where the last one ended continues it; a real gap or drift beyond
  // the tolerance starts the timeline anew from the arrival time.
  constexpr int64_t kTolerance = 30000;
  const int64_t next = m_timelineStart + m_timelineFrames * 1000000 / m_deviceSampleRate;
  if (m_timelineStart != INT64_MIN && std::llabs(pts - next) < kTolerance) {
    pts = next;
  } else {
    m_timelineStart = pts;
    m_timelineFrames = 0;
  }
  m_timelineFrames += frames;
  const auto format = static_cast<AVSampleFormat>(m_sampleFormat);
  if (m_swr) {
    int room = swr_get_out_samples(m_swr, static_cast<int>(frames));
    if (room <= 0) return;
    m_convertBuffer.resize(static_cast<size_t>(room) * m_channels * av_get_bytes_per_sample(format));
    uint8_t* out[1] = {m_convertBuffer.data()};
    const uint8_t* in[1] = {data};
    int got = swr_convert(m_swr, out, room, in, static_cast<int>(frames));
    if (got <= 0) {
      if (got < 0) LOG(ERROR) << "audio format conversion failed";
      return;
    }
    data = m_convertBuffer.data();
    frames = static_cast<uint32_t>(got);
  }
  frame->pts = pts;
  frame->pkt_dts = pts;
  frame->nb_samples = static_cast<int>(frames);
  frame->format = format;
  frame->sample_rate = m_sampleRate;
  SetFrameLayout(frame, m_channelLayout, m_channels);
  frame->pkt_size = static_cast<int>(frames * (m_bitsPerSample / 8 * m_channels));
  av_samples_fill_arrays(frame->data, frame->linesize, data, m_channels, static_cast<int>(frames), format, 1);
  frame->extended_data = frame->data;
  if (m_frameCallback) m_frameCallback(frame, m_index);
}

void WASAPIAudioCapturer::RenderLoop() {
  while (m_running) {
    AudioWait wait = m_renderClient->Wait(-1);
    if (wait == AudioWait::Stopped) break;
    uint32_t padding = 0;
    Result r = m_renderClient->CurrentPadding(&padding);
    if (r != Result::Ok) {
      LOG(ERROR) << "GetCurrentPadding failed:" << platform::ResultName(r);
      break;
    }
    const uint32_t frames = padding >= m_renderBufferFrames ? 0 : m_renderBufferFrames - padding;
    if (frames == 0) continue;  // full for now: wait for the next period
    r = m_renderClient->WriteSilence(frames);
    if (r != Result::Ok) {
      LOG(ERROR) << "ReleaseBuffer failed:" << platform::ResultName(r);
      break;
    }
  }
}

void WASAPIAudioCapturer::OnDefaultDeviceChanged(AudioDirection direction, AudioRole role) {
  LOG(INFO) << "SetDefaultDevice";
  const bool mic = m_kind == 1;
  if (direction != (mic ? AudioDirection::Capture : AudioDirection::Render) ||
      role != (mic ? AudioRole::Communications : AudioRole::Console))
    return;
  LOG(INFO) << "WASAPI: Default device changed" << (mic ? "input" : "output");
  const uint64_t now = platform::GetAudioEndpoints().TickCountMs();
  std::lock_guard<std::mutex> lock(m_restartMutex);
  if (m_shuttingDown) return;
  if (now - m_lastRestartTick < 300) {
    LOG(INFO) << "reset device duration is shortter than 300";
    return;
  }
  m_lastRestartTick = now;
  if (m_restartRunning) {
    m_restartPending = true;
    return;
  }
  if (m_restartThread.joinable()) m_restartThread.join();  // already finished
  m_restartRunning = true;
  m_restartThread = std::thread(&WASAPIAudioCapturer::RestartLoop, this);
}

void WASAPIAudioCapturer::RestartLoop() {
  for (;;) {
    LOG(INFO) << "restart to capture audio";
    {
      std::lock_guard<std::mutex> lock(m_opMutex);
      if (!m_shuttingDown) {
        StopLocked();
        if (OpenDevice() == 0 && StartLocked() == 0) LOG(INFO) << "restart to capture audio successfully";
      }
    }
    std::lock_guard<std::mutex> lock(m_restartMutex);
    if (!m_restartPending || m_shuttingDown) {
      m_restartPending = false;
      m_restartRunning = false;
      return;
    }
    m_restartPending = false;
  }
}

void WASAPIAudioCapturer::JoinRestartThread() {
  std::thread restart;
  {
    std::lock_guard<std::mutex> lock(m_restartMutex);
    restart = std::move(m_restartThread);
  }
  if (restart.joinable()) restart.join();
}
