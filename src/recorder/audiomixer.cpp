#include "recorder/audiomixer.h"

extern "C" {
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <glog/logging.h>

#include "recorder/filteraresample.h"

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

// Each input is placed by its timestamps from its first frame on: a jump
// of more than 20 ms is padded or trimmed at once, smaller differences (the
// sources' clocks drifting apart) are stretched or squeezed away by up to
// 1 %.
std::string AlignInput(const char* in, const char* out, int rate) {
  return std::string("[") + in + "]aresample=" + std::to_string(rate) + ":async=" + std::to_string(rate / 100) +
         ":min_hard_comp=0.02:flags=res[" + out + "];";
}

// An input that ends (for good, or at Stop) never ends the mix: the other
// one goes on, and at Stop whatever either still holds is mixed out.
std::string MixDescription(int rate) {
  return AlignInput("in0", "a0", rate) + AlignInput("in1", "a1", rate) +
         "[a0][a1]amix=inputs=2:duration=longest:dropout_transition=0[out]";
}

// Frames run through the graph as they come: amix takes one frame of each
// input at a time and would fall behind frames that wait in its inputs.
constexpr int kAddFlags = AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH;

struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

AVFilterInOut* MakeInOut(const char* name, AVFilterContext* ctx) {
  AVFilterInOut* io = avfilter_inout_alloc();
  if (!io) return nullptr;
  io->name = av_strdup(name);
  io->filter_ctx = ctx;
  io->pad_idx = 0;
  io->next = nullptr;
  return io;
}

}  // namespace

AudioMixer::AudioMixer()
    : m_worker("mix", &m_outCtx, [this](AVFrame* frame) { Deliver(frame); },
               [](int) { LOG(ERROR) << "avfilter get frame error"; }) {}

AudioMixer::~AudioMixer() {
  Stop();
  Release();
}

int AudioMixer::Init(const AudioStreamFormat& in0, const AudioStreamFormat& in1, const AudioStreamFormat& out) {
  if (m_initialised) return 0;
  std::lock_guard<std::mutex> lock(m_worker.Mutex());
  m_in0 = in0;
  m_in1 = in1;
  m_out = out;
  m_ended[0] = m_ended[1] = false;
  m_started[0] = m_started[1] = false;
  m_originUs = AV_NOPTS_VALUE;
  m_nextPts = AV_NOPTS_VALUE;
  char args0[512] = {0};
  char args1[512] = {0};
  FormatAbufferArgs(args0, sizeof(args0), in0);
  FormatAbufferArgs(args1, sizeof(args1), in1);
  const AVFilter* abuffer = avfilter_get_by_name("abuffer");
  bool ok = false;
  m_graph = avfilter_graph_alloc();
  if (m_graph) {
    if (avfilter_graph_create_filter(&m_in0Ctx, abuffer, "in0", args0, nullptr, m_graph) < 0) {
      LOG(ERROR) << "create filter ctx 0 failed";
    } else if (avfilter_graph_create_filter(&m_in1Ctx, abuffer, "in1", args1, nullptr, m_graph) < 0) {
      LOG(ERROR) << "create filter ctx 1 failed";
    } else if (avfilter_graph_create_filter(&m_outCtx, avfilter_get_by_name("abuffersink"), "out", nullptr,
                                            nullptr, m_graph) < 0 ||
               SetAudioSinkFormat(m_outCtx, out) < 0) {
      LOG(ERROR) << "create filter out ctx failed";
    } else {
      m_in0Io = MakeInOut("in0", m_in0Ctx);
      m_in1Io = MakeInOut("in1", m_in1Ctx);
      m_outIo = MakeInOut("out", m_outCtx);
      if (m_in0Io && m_in1Io && m_outIo) {
        m_in0Io->next = m_in1Io;
        m_in1Io = nullptr;  // now owned by the list
        ok = avfilter_graph_parse_ptr(m_graph, MixDescription(out.sampleRate).c_str(), &m_outIo, &m_in0Io,
                                      nullptr) >= 0 &&
             avfilter_graph_config(m_graph, nullptr) >= 0;
      }
      avfilter_inout_free(&m_in0Io);
      avfilter_inout_free(&m_in1Io);
      avfilter_inout_free(&m_outIo);
    }
  }
  if (!ok) {
    LOG(ERROR) << "filter init failed";
    avfilter_graph_free(&m_graph);
    m_in0Ctx = m_in1Ctx = m_outCtx = nullptr;
    m_in0 = m_in1 = m_out = AudioStreamFormat{};
    return -1;
  }
  m_initialised = true;
  return 0;
}

int AudioMixer::AddFrame(AVFrame* frame, int index) {
  if (!m_worker.Running() || !m_initialised) {
    LOG(ERROR) << "audio mixer doesn't init or run";
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_worker.Mutex());
  AVFilterContext* source = index == 0 ? m_in0Ctx : index == 1 ? m_in1Ctx : nullptr;
  int result = 0;
  if (!source) {
    result = -1;
  } else if (m_ended[index]) {
    // The input was closed; later frames have no place in its stream.
    return -1;
  } else {
    const int ret = frame ? AddAligned(frame, index) : av_buffersrc_add_frame_flags(source, nullptr, kAddFlags);
    if (!frame) m_ended[index] = true;
    if (ret < 0) {
      LOG(ERROR) << "add frame flag failed";
      result = -1;
    }
  }
  if (result == -1) LOG(ERROR) << "add frame failed";
  m_worker.Wake();
  return result;
}

// Mutex held. Both inputs start at the origin, the time of the first frame
// either brought: an input that starts later is preceded by silence, one
// that started earlier loses what came before.
int AudioMixer::AddAligned(AVFrame* frame, int index) {
  AVFilterContext* source = index == 0 ? m_in0Ctx : m_in1Ctx;
  if (m_started[index] || frame->pts == AV_NOPTS_VALUE || frame->sample_rate <= 0)
    return av_buffersrc_add_frame_flags(source, frame, kAddFlags);
  const AVRational base = index == 0 ? m_in0.timeBase : m_in1.timeBase;
  const int64_t start = av_rescale_q(frame->pts, base, kMicroseconds);
  if (m_originUs == AV_NOPTS_VALUE) m_originUs = start;
  const int64_t lead = av_rescale(start - m_originUs, frame->sample_rate, 1000000);
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const int channels = frame->ch_layout.nb_channels;
  if (lead < 0) {
    if (-lead >= frame->nb_samples) return 0;
    const int planes = av_sample_fmt_is_planar(format) ? channels : 1;
    const int step = av_get_bytes_per_sample(format) * (planes == 1 ? channels : 1);
    const int64_t pts = frame->pts;
    const int samples = frame->nb_samples;
    std::vector<uint8_t*> data(frame->extended_data, frame->extended_data + planes);
    for (int p = 0; p < planes; ++p) frame->extended_data[p] = data[static_cast<size_t>(p)] - lead * step;
    frame->nb_samples = samples + static_cast<int>(lead);
    frame->pts = av_rescale_q(m_originUs, kMicroseconds, base);
    m_started[index] = true;
    const int ret = av_buffersrc_add_frame_flags(source, frame, kAddFlags);
    for (int p = 0; p < planes; ++p) frame->extended_data[p] = data[static_cast<size_t>(p)];
    frame->nb_samples = samples;
    frame->pts = pts;
    return ret;
  }
  if (lead > 0) {
    std::unique_ptr<AVFrame, FrameFree> silence(av_frame_alloc());
    if (!silence) return AVERROR(ENOMEM);
    silence->format = frame->format;
    silence->sample_rate = frame->sample_rate;
    silence->nb_samples = static_cast<int>(std::min<int64_t>(lead, INT32_MAX));
    silence->pts = av_rescale_q(m_originUs, kMicroseconds, base);
    int ret = av_channel_layout_copy(&silence->ch_layout, &frame->ch_layout);
#if FF_API_OLD_CHANNEL_LAYOUT
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    silence->channel_layout = frame->channel_layout;
    silence->channels = frame->channels;
#pragma GCC diagnostic pop
#endif
    if (ret >= 0) ret = av_frame_get_buffer(silence.get(), 0);
    if (ret >= 0)
      ret = av_samples_set_silence(silence->extended_data, 0, silence->nb_samples, channels, format);
    if (ret >= 0) ret = av_buffersrc_add_frame_flags(source, silence.get(), AV_BUFFERSRC_FLAG_PUSH);
    if (ret < 0) return ret;
  }
  m_started[index] = true;
  return av_buffersrc_add_frame_flags(source, frame, kAddFlags);
}

int AudioMixer::Start() {
  if (!m_initialised) return -1;
  if (m_worker.Running()) return 0;
  m_worker.Start();
  return 0;
}

void AudioMixer::Stop() {
  if (!m_initialised || !m_worker.Running()) return;
  m_worker.Stop();
  Release();
}

AVRational AudioMixer::GetTimeBase() { return m_worker.TimeBase(m_out.timeBase); }

void AudioMixer::SetCallbacks(FrameCallback frameCallback, ErrorCallback errorCallback) {
  m_worker.SetCallbacks(std::move(frameCallback), std::move(errorCallback));
}

void AudioMixer::Release() {
  std::lock_guard<std::mutex> lock(m_worker.Mutex());
  avfilter_inout_free(&m_in0Io);
  avfilter_inout_free(&m_in1Io);
  avfilter_inout_free(&m_outIo);
  avfilter_graph_free(&m_graph);
  m_in0Ctx = m_in1Ctx = m_outCtx = nullptr;
  m_in0 = m_in1 = m_out = AudioStreamFormat{};
  m_initialised = false;
}

// On the worker's thread, mutex held. The mix is one unbroken stream: a
// frame without a time (amix drains the second input without one once the
// first has ended) follows the one before.
void AudioMixer::Deliver(AVFrame* frame) {
  if (frame->pts == AV_NOPTS_VALUE) frame->pts = m_nextPts;
  if (frame->pts != AV_NOPTS_VALUE) m_nextPts = frame->pts + frame->nb_samples;
  m_worker.Emit(frame, -1);
}
