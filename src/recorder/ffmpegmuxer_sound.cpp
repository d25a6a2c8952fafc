#include "recorder/ffmpegmuxer.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
}

#include <glog/logging.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "recorder/audiocapturer.h"
#include "recorder/ffmpegmuxer_private.h"

// The writer's sound: paused time cut out of each source, the filtered sound
// gathered into blocks of one AAC frame.

void FfmpegMuxer::OnAudioFrame(AVFrame* frame, int index) {
  if (!m_running || !m_audio) return;
  if (index < 0 || index >= m_audio->sourceCount) return;
  auto add = [&](AVFrame* f) {
    if (m_audio->mixer)
      m_audio->mixer->AddFrame(f, index);
    else
      m_audio->resamplers[static_cast<size_t>(index)]->AddFrame(f);
  };
  // A null frame ends that source's input, also while paused: the mix would
  // wait for it forever after Resume.
  if (!frame || frame->pts == AV_NOPTS_VALUE) {
    add(frame);
    return;
  }
  // The pauses are cut out by the time the sound was captured, however late
  // it comes: each part of the frame outside them goes on, its timestamp
  // less the paused time before it.
  const AVRational base = m_audio->sources[static_cast<size_t>(index)]->GetTimeBase();
  const int rate = std::max(1, frame->sample_rate);
  const int64_t start = av_rescale_q(frame->pts, base, kMicroseconds);
  const int64_t end = start + av_rescale(frame->nb_samples, 1000000, rate);
  struct Part {
    int64_t from, to, removed;
  };
  std::vector<Part> parts;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    int64_t from = start;
    int64_t removed = 0;
    for (const auto& [pauseStart, pauseEnd] : m_pauses) {
      if (from >= end) break;
      if (pauseEnd > from) {
        if (pauseStart > from) parts.push_back({from, std::min(end, pauseStart), removed});
        from = pauseEnd;
      }
      if (pauseEnd == std::numeric_limits<int64_t>::max()) break;
      removed += pauseEnd - pauseStart;
    }
    if (from < end) parts.push_back({from, end, removed});
  }
  const int64_t pts = frame->pts;
  const int samples = frame->nb_samples;
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const int planes = av_sample_fmt_is_planar(format) ? frame->ch_layout.nb_channels : 1;
  const int step = av_get_bytes_per_sample(format) * (planes == 1 ? frame->ch_layout.nb_channels : 1);
  std::vector<uint8_t*> data(frame->extended_data, frame->extended_data + planes);
  for (const Part& part : parts) {
    const int first = static_cast<int>(av_rescale(part.from - start, rate, 1000000));
    const int last = part.to == end ? samples : static_cast<int>(av_rescale(part.to - start, rate, 1000000));
    if (last <= first) continue;
    for (int p = 0; p < planes; ++p) frame->extended_data[p] = data[static_cast<size_t>(p)] + first * step;
    if (frame->extended_data != frame->data)
      for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p) frame->data[p] = frame->extended_data[p];
    frame->nb_samples = last - first;
    frame->pts = av_rescale_q(part.from - part.removed, kMicroseconds, base);
    frame->pkt_dts = frame->pts;
    add(frame);
  }
  // The caller's frame as it was.
  for (int p = 0; p < planes; ++p) frame->extended_data[p] = data[static_cast<size_t>(p)];
  if (frame->extended_data != frame->data)
    for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p) frame->data[p] = data[static_cast<size_t>(p)];
  frame->nb_samples = samples;
  frame->pts = frame->pkt_dts = pts;
}

void FfmpegMuxer::PushGatheredBlock(PcmGatherer& gatherer) {
  const auto format = static_cast<AVSampleFormat>(m_params.sampleFormat);
  if (gatherer.filledSamples < gatherer.frameSamples) {
    // The last, partial block is completed with silence.
    const int channels = m_params.channels;
    const int planes = av_sample_fmt_is_planar(format) ? channels : 1;
    const int planeBytes = gatherer.capacity / planes;
    uint8_t* data[AV_NUM_DATA_POINTERS] = {nullptr};
    for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p)
      data[p] = gatherer.buffer.data() + p * planeBytes;
    av_samples_set_silence(data, gatherer.filledSamples,
                           gatherer.frameSamples - gatherer.filledSamples, channels, format);
  }
  m_pcmHeader->pts = gatherer.firstPts;
  m_pcmHeader->pkt_dts = gatherer.firstPts;
  m_pcmHeader->nb_samples = gatherer.frameSamples;
  m_audio->aac->PushPcm(gatherer.buffer.data(), gatherer.capacity, m_pcmHeader.get());
  gatherer.filledSamples = 0;
  gatherer.firstPts = AV_NOPTS_VALUE;
}

void FfmpegMuxer::OnFilteredAudio(AVFrame* frame, int) {
  if (!frame || !m_running || !m_audio || !m_audio->aac || m_audio->gatherers.empty()) return;
  // One filtered stream reaches the encoder: gather it in source 0's block.
  PcmGatherer& gatherer = m_audio->gatherers[0];
  const auto format = static_cast<AVSampleFormat>(m_params.sampleFormat);
  const int channels = m_params.channels;
  if (frame->format != format || frame->ch_layout.nb_channels != channels) {
    LOG_FIRST_N(ERROR, 1) << "filtered audio is not in the output format";
    return;
  }
  const bool planar = av_sample_fmt_is_planar(format);
  const int sampleBytes = av_get_bytes_per_sample(format);
  const int planeBytes = planar ? gatherer.capacity / channels : gatherer.capacity;
  const int stride = planar ? sampleBytes : sampleBytes * channels;  // bytes per sample in a plane
  const int sampleRate = m_params.sampleRate;
  const int planes = planar ? channels : 1;

  int consumed = 0;
  if (!m_soundStarted && frame->pts != AV_NOPTS_VALUE) {
    // The sound starts with the file, so that its first block lies at the
    // file's 0: silence up to the first sample (up to a second of it), none
    // of the sound from before the start.
    const AVRational samples{1, sampleRate};
    const int64_t start = av_rescale_q(m_recordStart, kMicroseconds, samples);
    const int64_t first = av_rescale_q(frame->pts, m_audioFilterTimeBase, samples);
    if (first + frame->nb_samples <= start) return;
    if (first < start) consumed = static_cast<int>(start - first);
    int64_t silence = first > start && first - start <= sampleRate ? first - start : 0;
    while (silence > 0) {
      if (gatherer.filledSamples == 0) gatherer.firstPts = first - silence;
      const int n = static_cast<int>(
          std::min<int64_t>(silence, gatherer.frameSamples - gatherer.filledSamples));
      uint8_t* data[AV_NUM_DATA_POINTERS] = {nullptr};
      for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p)
        data[p] = gatherer.buffer.data() + p * planeBytes + gatherer.filledSamples * stride;
      av_samples_set_silence(data, 0, n, channels, format);
      gatherer.filledSamples += n;
      silence -= n;
      if (gatherer.filledSamples == gatherer.frameSamples) PushGatheredBlock(gatherer);
    }
  }
  m_soundStarted = true;
  while (consumed < frame->nb_samples) {
    if (gatherer.filledSamples == 0) {
      // A block's time is that of its first sample.
      gatherer.firstPts =
          frame->pts == AV_NOPTS_VALUE
              ? AV_NOPTS_VALUE
              : av_rescale_q(frame->pts, m_audioFilterTimeBase, AVRational{1, sampleRate}) +
                    consumed;
    }
    const int n = std::min(frame->nb_samples - consumed,
                           gatherer.frameSamples - gatherer.filledSamples);
    for (int p = 0; p < planes; ++p) {
      memcpy(gatherer.buffer.data() + p * planeBytes + gatherer.filledSamples * stride,
             frame->extended_data[p] + consumed * stride, static_cast<size_t>(n) * stride);
    }
    gatherer.filledSamples += n;
    consumed += n;
    if (gatherer.filledSamples == gatherer.frameSamples) PushGatheredBlock(gatherer);
  }
}
