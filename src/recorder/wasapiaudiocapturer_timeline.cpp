#include "recorder/wasapiaudiocapturer.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>

#include "recorder/wasapiaudiocapturer_private.h"

// The capturer's timeline: each pass of packets dated, the clock's drift
// followed, and silence where the device delivers nothing.

namespace {

// The timestamps follow the clock by at most 2 ms a second, after an error
// filtered over about 2 s.
constexpr double kMaxSlew = 0.002;
constexpr double kDriftFilterUs = 2000000;
// A device's own packet times are believed within these bounds of the time
// they are read: a monitor's sound is read before it is heard.
constexpr int64_t kMaxDeviceDelayUs = 1000000;
constexpr int64_t kMaxDeviceLeadUs = 4000000;
// Silence is delivered in frames of at most 100 ms.
constexpr uint32_t kSilenceFrames = 4800;

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

int64_t WASAPIAudioCapturer::TimelineEnd() const {
  return m_timelineStart + m_timelineFrames * 1000000 / m_sampleRate + std::llround(m_offsetUs);
}

// A pass is dated as a whole, so that packets read in one go continue each
// other however unevenly they arrived: it starts when the device says its
// first frame was recorded, else it ends now. A pass that starts well
// after the timeline's end (or the first one of a session) follows a gap,
// which is filled with silence; smaller differences are drift, which the
// timestamps follow smoothly.
void WASAPIAudioCapturer::DeliverPass() {
  if (m_passFrames.empty()) return;
  const int64_t now = platform::GetAudioEndpoints().NowMicroseconds();
  int64_t frames = 0;
  for (uint32_t n : m_passFrames) frames += n;
  const int64_t duration = frames * 1000000 / m_sampleRate;
  m_deviceLeadUs = 0;
  if (m_passTime >= 0) {
    const int64_t lead = m_passTime + duration - now;
    if (lead > -kMaxDeviceDelayUs && lead < kMaxDeviceLeadUs) m_deviceLeadUs = lead;
  }
  const int64_t start = now + m_deviceLeadUs - duration;
  if (m_sessionFresh || start - TimelineEnd() > kHiccupUs) {
    FillSilenceTo(start);
    m_driftUs = 0;
  }
  m_sessionFresh = false;
  const double error = static_cast<double>(start - TimelineEnd());
  m_driftUs += (error - m_driftUs) * std::min(1.0, duration / kDriftFilterUs);
  const size_t frameBytes =
      static_cast<size_t>(av_get_bytes_per_sample(static_cast<AVSampleFormat>(m_sampleFormat))) * m_channels;
  size_t offset = 0;
  for (uint32_t n : m_passFrames) {
    Emit(m_passData.data() + offset, n);
    offset += n * frameBytes;
  }
}

void WASAPIAudioCapturer::FillSilenceTo(int64_t until) {
  const auto format = static_cast<AVSampleFormat>(m_sampleFormat);
  int64_t frames = (until - TimelineEnd()) * m_sampleRate / 1000000;
  if (frames <= 0) return;
  const size_t bytes = static_cast<size_t>(av_get_bytes_per_sample(format)) * m_channels * kSilenceFrames;
  if (m_silence.size() < bytes) m_silence.assign(bytes, 0);
  while (frames > 0) {
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(frames, kSilenceFrames));
    Emit(m_silence.data(), n);
    frames -= n;
  }
}

void WASAPIAudioCapturer::Emit(const uint8_t* data, uint32_t frames) {
  if (frames == 0 || !m_frame) return;
  const auto format = static_cast<AVSampleFormat>(m_sampleFormat);
  AVFrame* frame = m_frame;
  frame->pts = TimelineEnd();
  frame->pkt_dts = frame->pts;
  frame->nb_samples = static_cast<int>(frames);
  frame->format = format;
  frame->sample_rate = m_sampleRate;
  SetFrameLayout(frame, m_channelLayout, m_channels);
  frame->pkt_size = static_cast<int>(frames * (m_bitsPerSample / 8 * m_channels));
  av_samples_fill_arrays(frame->data, frame->linesize, data, m_channels, static_cast<int>(frames), format, 1);
  frame->extended_data = frame->data;
  m_timelineFrames += frames;
  // The offset moves towards the filtered error, by a bounded share of the
  // frame's duration.
  const double limit = frames * 1000000.0 / m_sampleRate * kMaxSlew;
  const double step = std::max(-limit, std::min(limit, m_driftUs));
  m_offsetUs += step;
  m_driftUs -= step;
  if (m_frameCallback) m_frameCallback(frame, m_index);
}
