#include "recorder/filteraresample.h"

extern "C" {
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <utility>

#include <glog/logging.h>

namespace {

AVChannelLayout LayoutOf(const AudioStreamFormat& format) {
  AVChannelLayout layout;
  if (format.channelLayout != 0 && av_popcount64(format.channelLayout) == format.channels)
    av_channel_layout_from_mask(&layout, format.channelLayout);
  else
    av_channel_layout_default(&layout, format.channels);
  return layout;
}

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(error, text, sizeof(text));
  return text;
}

}  // namespace

std::string BuildAresampleDescription(const AudioStreamFormat& target) {
  AVChannelLayout layout = LayoutOf(target);
  char layoutText[128] = {0};
  av_channel_layout_describe(&layout, layoutText, sizeof(layoutText));
  av_channel_layout_uninit(&layout);
  const char* format = av_get_sample_fmt_name(static_cast<AVSampleFormat>(target.sampleFormat));
  return "aresample=" + std::to_string(target.sampleRate) + ",aformat=sample_fmts=" + (format ? format : "none") +
         ":channel_layouts=" + layoutText;
}

void FormatAbufferArgs(char* buffer, size_t size, const AudioStreamFormat& stream) {
  if (!buffer || size == 0) return;
  AVChannelLayout layout = LayoutOf(stream);
  const uint64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
  av_channel_layout_uninit(&layout);
  const char* format = av_get_sample_fmt_name(static_cast<AVSampleFormat>(stream.sampleFormat));
  std::snprintf(buffer, size, "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=0x%" PRIx64,
                stream.timeBase.num, stream.timeBase.den, stream.sampleRate, format ? format : "none",
                mask);
}

int SetAudioSinkFormat(AVFilterContext* sink, const AudioStreamFormat& out) {
  const int32_t format = out.sampleFormat;
  const int32_t rate = out.sampleRate;
  AVChannelLayout layout = LayoutOf(out);
  char layoutText[128] = {0};
  av_channel_layout_describe(&layout, layoutText, sizeof(layoutText));
  av_channel_layout_uninit(&layout);
  int ret = av_opt_set_bin(sink, "sample_fmts", reinterpret_cast<const uint8_t*>(&format), sizeof(format),
                           AV_OPT_SEARCH_CHILDREN);
  if (ret >= 0) ret = av_opt_set(sink, "ch_layouts", layoutText, AV_OPT_SEARCH_CHILDREN);
  if (ret >= 0)
    ret = av_opt_set_bin(sink, "sample_rates", reinterpret_cast<const uint8_t*>(&rate), sizeof(rate),
                         AV_OPT_SEARCH_CHILDREN);
  return ret < 0 ? ret : 0;
}

filter_aresample::filter_aresample()
    : m_worker("resample", &m_sinkCtx, [this](AVFrame* frame) { m_worker.Emit(frame, m_index); },
               [this](int error) { m_worker.Report(error, m_index); }) {}

filter_aresample::~filter_aresample() {
  Stop();
  Release();
}

int filter_aresample::Init(const AudioStreamFormat& source, const AudioStreamFormat& target, int index) {
  if (m_initialised) {
    LOG(ERROR) << "filter aresample has inited";
    return 0;
  }
  std::lock_guard<std::mutex> lock(m_worker.Mutex());
  m_index = index;
  m_source = source;
  m_target = target;
  m_ended = false;
  char args[512] = {0};
  std::string description;
  int ret = 0;
  m_graph = avfilter_graph_alloc();
  if (!m_graph) {
    LOG(ERROR) << "graph alloc failed";
    goto fail;
  }
  description = BuildAresampleDescription(target);
  FormatAbufferArgs(args, sizeof(args), source);
  ret = avfilter_graph_create_filter(&m_sourceCtx, avfilter_get_by_name("abuffer"), "in", args, nullptr, m_graph);
  if (ret < 0) {
    LOG(ERROR) << "graph create in filter failed";
    goto fail;
  }
  ret = avfilter_graph_create_filter(&m_sinkCtx, avfilter_get_by_name("abuffersink"), "out", nullptr, nullptr,
                                     m_graph);
  if (ret < 0) {
    LOG(ERROR) << "graph create out filter failed";
    goto fail;
  }
  if (SetAudioSinkFormat(m_sinkCtx, target) < 0) {
    LOG(ERROR) << "graph create out filter failed";
    goto fail;
  }
  m_sourceIo = avfilter_inout_alloc();
  m_sinkIo = avfilter_inout_alloc();
  if (!m_sourceIo || !m_sinkIo) {
    LOG(ERROR) << "filter graph parse ptr failed";
    goto fail;
  }
  m_sourceIo->name = av_strdup("in");
  m_sourceIo->filter_ctx = m_sourceCtx;
  m_sourceIo->pad_idx = 0;
  m_sourceIo->next = nullptr;
  m_sinkIo->name = av_strdup("out");
  m_sinkIo->filter_ctx = m_sinkCtx;
  m_sinkIo->pad_idx = 0;
  m_sinkIo->next = nullptr;
  ret = avfilter_graph_parse_ptr(m_graph, description.c_str(), &m_sinkIo, &m_sourceIo, nullptr);
  avfilter_inout_free(&m_sinkIo);
  avfilter_inout_free(&m_sourceIo);
  if (ret < 0) {
    LOG(ERROR) << "filter graph parse ptr failed";
    goto fail;
  }
  ret = avfilter_graph_config(m_graph, nullptr);
  if (ret < 0) {
    LOG(ERROR) << "graph config failed";
    goto fail;
  }
  m_initialised = true;
  LOG(INFO) << "aresample inits successfully";
  return 0;

fail:
  avfilter_inout_free(&m_sinkIo);
  avfilter_inout_free(&m_sourceIo);
  avfilter_graph_free(&m_graph);
  m_sourceCtx = m_sinkCtx = nullptr;
  m_source = m_target = AudioStreamFormat{};
  return -1;
}

int filter_aresample::AddFrame(AVFrame* frame) {
  std::lock_guard<std::mutex> lock(m_worker.Mutex());
  if (!m_initialised || !m_sourceCtx) {
    LOG(ERROR) << "filter aresample doesn't init";
    return -1;
  }
  int result = 0;
  if (m_ended) {
    // The source was closed; later frames have no place in its stream.
    return -1;
  }
  int ret = av_buffersrc_add_frame_flags(m_sourceCtx, frame, frame ? AV_BUFFERSRC_FLAG_KEEP_REF : 0);
  if (!frame) m_ended = true;
  if (ret < 0) {
    LOG(ERROR) << "av_buffersrc_add_frame_flags failed:" << ErrorText(ret);
    result = -1;
  }
  m_worker.Wake();
  return result;
}

int filter_aresample::Start() {
  if (!m_initialised) {
    LOG(ERROR) << "fiter aresample start failed since it's not inited";
    return -1;
  }
  if (m_worker.Running()) {
    LOG(ERROR) << "filter aresample is running";
    return 0;
  }
  m_worker.Start();
  return 0;
}

void filter_aresample::Stop() {
  if (!m_initialised || !m_worker.Running()) return;
  m_worker.Stop();
}

AVRational filter_aresample::GetTimeBase() { return m_worker.TimeBase(m_target.timeBase); }

void filter_aresample::SetCallbacks(FrameCallback frameCallback, ErrorCallback errorCallback) {
  m_worker.SetCallbacks(std::move(frameCallback), std::move(errorCallback));
}

void filter_aresample::Release() {
  std::lock_guard<std::mutex> lock(m_worker.Mutex());
  avfilter_inout_free(&m_sinkIo);
  avfilter_inout_free(&m_sourceIo);
  avfilter_graph_free(&m_graph);
  m_sourceCtx = m_sinkCtx = nullptr;
  m_source = m_target = AudioStreamFormat{};
  m_initialised = false;
}
