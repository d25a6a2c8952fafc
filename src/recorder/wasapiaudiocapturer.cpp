#include "recorder/wasapiaudiocapturer.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/common.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <glog/logging.h>

#include "platform/thread_name.h"
#include "recorder/wasapiaudiocapturer_private.h"

using platform::AudioDirection;
using platform::AudioRole;
using platform::AudioWait;
using platform::Result;

namespace {

const char kDefaultId[] = "Default";
constexpr int64_t kBufferUs = 50000;  // 50 ms
constexpr int kWaitMs = 10;
// A lost device is looked for again this often; after each failed restart
// (a device that is there but cannot be opened) twice as long, up to the
// maximum.
constexpr uint64_t kRetryMs = 1000;
constexpr uint64_t kMaxRetryMs = 32000;

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

}  // namespace

void WASAPINotify::OnDefaultDeviceChanged(AudioDirection direction, AudioRole role, const std::string&) {
  m_owner->OnDefaultDeviceChanged(direction, role);
}

WASAPIAudioCapturer::WASAPIAudioCapturer() : m_frame(av_frame_alloc()) {}

WASAPIAudioCapturer::~WASAPIAudioCapturer() {
  Stop();
  m_notify.reset();
  av_frame_free(&m_frame);
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
  if (m_running) {
    LOG(ERROR) << "audio record is already running";
    return -1;
  }
  if (!m_initialised) {
    LOG(ERROR) << "audio record doesn't init";
    return -1;
  }
  m_startTime = platform::GetAudioEndpoints().NowMicroseconds();
  m_timelineStart = m_startTime;
  m_timelineFrames = 0;
  m_offsetUs = 0;
  m_driftUs = 0;
  m_retryMs = kRetryMs;
  m_lostReported = false;
  if (StartSession() != 0) return -1;
  m_running = true;
  return 0;
}

int WASAPIAudioCapturer::StartSession() {
  Result r;
  if (m_renderClient) {
    r = m_renderClient->Start();
    if (r != Result::Ok) {
      LOG(ERROR) << "Start render client failed:" << platform::ResultName(r);
      return -1;
    }
  }
  if (m_captureClient) {
    r = m_captureClient->Start();
    if (r != Result::Ok) {
      LOG(ERROR) << "capture client starts failed:" << platform::ResultName(r);
      if (m_renderClient) m_renderClient->Stop();
      return -1;
    }
  }
  m_sessionFresh = true;
  m_deviceLeadUs = 0;
  m_sessionActive = true;
  if (m_renderClient) m_renderThread = std::thread(&WASAPIAudioCapturer::RenderLoop, this);
  m_captureThread = std::thread(&WASAPIAudioCapturer::CaptureLoop, this);
  return 0;
}

void WASAPIAudioCapturer::StopSession(bool drain) {
  m_drainOnStop = drain;
  m_sessionActive = false;
  if (m_captureClient) m_captureClient->Interrupt();
  if (m_renderClient) m_renderClient->Interrupt();
  if (m_renderThread.joinable()) m_renderThread.join();
  if (m_captureThread.joinable()) m_captureThread.join();
  if (m_captureClient) m_captureClient->Stop();
  if (m_renderClient) m_renderClient->Stop();
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
    if (m_running) {
      const int64_t stopTime = platform::GetAudioEndpoints().NowMicroseconds();
      StopSession(true);
      // The sound lasts as long as the recording, also when the device's
      // last packets are still on their way.
      FillSilenceTo(stopTime);
      m_running = false;
    }
    ReleaseClients();
  }
  m_shuttingDown = false;
  return 0;
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
  platform::SetCurrentThreadName("capture-audio");
  auto& endpoints = platform::GetAudioEndpoints();
  bool lost = !m_captureClient;
  uint64_t lostTick = endpoints.TickCountMs();
  while (m_sessionActive) {
    if (!lost) {
      if (m_captureClient->Wait(kWaitMs) == AudioWait::Stopped) break;
      if (ReadPackets() != 0) {
        LOG(ERROR) << "DoRecord failed";
        lost = true;
        lostTick = endpoints.TickCountMs();
        ReportLost();
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(kWaitMs));
    }
    // Silence holds the place of what a lost or stalled device does not
    // deliver.
    const int64_t now = endpoints.NowMicroseconds();
    if (now + m_deviceLeadUs - TimelineEnd() > kGapUs) FillSilenceTo(now + m_deviceLeadUs - kGapUs);
    if (lost && endpoints.TickCountMs() - lostTick >= m_retryMs) {
      lostTick = endpoints.TickCountMs();
      if (DeviceAvailable()) RequestRestart();
    }
  }
  // Stopping: what the endpoint already holds belongs to the recording.
  if (!lost && m_drainOnStop) ReadPackets(true);
}

int WASAPIAudioCapturer::ReadPackets(bool draining) {
  m_passData.clear();
  m_passFrames.clear();
  m_passTime = -1;
  const auto format = static_cast<AVSampleFormat>(m_sampleFormat);
  const size_t frameBytes = static_cast<size_t>(av_get_bytes_per_sample(format)) * m_channels;
  int result = 0;
  while (m_sessionActive || draining) {
    uint32_t frames = 0;
    Result r = m_captureClient->NextPacketSize(&frames);
    if (r != Result::Ok) {
      if (r != Result::DeviceInvalidated) LOG(ERROR) << "GetNextPacketSize failed: " << platform::ResultName(r);
      result = -1;
      break;
    }
    if (frames == 0) break;
    platform::AudioPacket packet;
    r = m_captureClient->GetBuffer(&packet);
    if (r != Result::Ok) {
      if (r != Result::DeviceInvalidated) LOG(ERROR) << "GetBuffer failed:" << platform::ResultName(r);
      result = -1;
      break;
    }
    const uint8_t* data = packet.data;
    if (m_passFrames.empty()) m_passTime = packet.timeUs;
    if (!packet.silent && !data) LOG(ERROR) << "buffer invalid is";
    if (packet.silent || !data) {
      // Silence keeps its place in the timeline.
      const size_t bytes = static_cast<size_t>(packet.frames) *
                           av_get_bytes_per_sample(static_cast<AVSampleFormat>(m_deviceSampleFormat)) *
                           m_deviceChannels;
      if (m_silence.size() < bytes) m_silence.assign(bytes, 0);
      data = m_silence.data();
    }
    // Converted into the frames' format and kept until the pass is read.
    uint32_t got = packet.frames;
    const size_t used = m_passData.size();
    if (m_swr) {
      const int room = swr_get_out_samples(m_swr, static_cast<int>(packet.frames));
      m_passData.resize(used + static_cast<size_t>(std::max(room, 0)) * frameBytes);
      uint8_t* out[1] = {m_passData.data() + used};
      const uint8_t* in[1] = {data};
      const int converted = room > 0 ? swr_convert(m_swr, out, room, in, static_cast<int>(packet.frames)) : 0;
      if (converted < 0) LOG(ERROR) << "audio format conversion failed";
      got = static_cast<uint32_t>(std::max(converted, 0));
      m_passData.resize(used + got * frameBytes);
    } else {
      m_passData.insert(m_passData.end(), data, data + got * frameBytes);
    }
    if (got > 0) m_passFrames.push_back(got);
    m_captureClient->ReleaseBuffer(packet.frames);
  }
  DeliverPass();
  return result;
}

void WASAPIAudioCapturer::RenderLoop() {
  platform::SetCurrentThreadName("render-audio");
  while (m_sessionActive) {
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

// Whether the device this capturer opens is there (no log on the way).
bool WASAPIAudioCapturer::DeviceAvailable() {
  auto& endpoints = platform::GetAudioEndpoints();
  const bool mic = m_kind == 1;
  const AudioDirection flow = mic ? AudioDirection::Capture : AudioDirection::Render;
  if (m_followsDefault) {
    platform::AudioEndpointInfo info;
    return endpoints.Default(flow, mic ? AudioRole::Communications : AudioRole::Console, &info) == Result::Ok;
  }
  std::unique_ptr<platform::AudioEndpoint> endpoint;
  return endpoints.Open(flow, m_deviceId, &endpoint) == Result::Ok;
}

void WASAPIAudioCapturer::OnDefaultDeviceChanged(AudioDirection direction, AudioRole role) {
  LOG(INFO) << "SetDefaultDevice";
  const bool mic = m_kind == 1;
  if (direction != (mic ? AudioDirection::Capture : AudioDirection::Render) ||
      role != (mic ? AudioRole::Communications : AudioRole::Console))
    return;
  LOG(INFO) << "WASAPI: Default device changed" << (mic ? "input" : "output");
  const uint64_t now = platform::GetAudioEndpoints().TickCountMs();
  {
    std::lock_guard<std::mutex> lock(m_restartMutex);
    if (now - m_lastRestartTick < 300) {
      LOG(INFO) << "reset device duration is shortter than 300";
      return;
    }
    m_lastRestartTick = now;
  }
  RequestRestart();
}

void WASAPIAudioCapturer::RequestRestart() {
  std::lock_guard<std::mutex> lock(m_restartMutex);
  if (m_shuttingDown) return;
  if (m_restartRunning) {
    m_restartPending = true;
    return;
  }
  if (m_restartThread.joinable()) m_restartThread.join();  // already finished
  m_restartRunning = true;
  m_restartThread = std::thread(&WASAPIAudioCapturer::RestartLoop, this);
}

// Reopens the device. A running capturer's timeline goes on: the time until
// the new device delivers is silence, and without a device the silence goes
// on until a later restart finds one.
void WASAPIAudioCapturer::Restart() {
  LOG(INFO) << "restart to capture audio";
  const bool running = m_running;
  if (running) StopSession(true);
  ReleaseClients();
  const bool opened = OpenDevice() == 0;
  if (!running) return;
  if (opened && StartSession() == 0) {
    LOG(INFO) << "restart to capture audio successfully";
    m_retryMs = kRetryMs;
    m_lostReported = false;
    return;
  }
  LOG(ERROR) << "restart to capture audio failed, silence takes its place";
  if (DeviceAvailable()) m_retryMs = std::min(m_retryMs * 2, kMaxRetryMs);
  ReleaseClients();
  StartSession();
  ReportLost();
}

void WASAPIAudioCapturer::ReportLost() {
  if (m_shuttingDown || m_lostReported.exchange(true)) return;
  if (m_lostCallback) m_lostCallback();
}

void WASAPIAudioCapturer::RestartLoop() {
  platform::SetCurrentThreadName("restart-audio");
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_opMutex);
      if (!m_shuttingDown) Restart();
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
