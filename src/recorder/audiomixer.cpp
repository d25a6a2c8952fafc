#include "recorder/audiomixer.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include <chrono>

#include <glog/logging.h>

#include "recorder/filteraresample.h"

namespace {

// An input that ends (for good, or at Stop) never ends the mix: the other
// one goes on, and at Stop whatever either still holds is mixed out.
const char kMixDescription[] = "[in0][in1]amix=inputs=2:duration=longest:dropout_transition=0[out]";

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

AudioMixer::AudioMixer() = default;

AudioMixer::~AudioMixer() {
  Stop();
  Release();
}

int AudioMixer::Init(const AudioStreamFormat& in0, const AudioStreamFormat& in1, const AudioStreamFormat& out) {
  if (m_initialised) return 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_in0 = in0;
  m_in1 = in1;
  m_out = out;
  m_ended[0] = m_ended[1] = false;
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
        ok = avfilter_graph_parse_ptr(m_graph, kMixDescription, &m_outIo, &m_in0Io, nullptr) >= 0 &&
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
  if (!m_running || !m_initialised) {
    LOG(ERROR) << "audio mixer doesn't init or run";
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  AVFilterContext* source = index == 0 ? m_in0Ctx : index == 1 ? m_in1Ctx : nullptr;
  int result = 0;
  if (!source) {
    result = -1;
  } else if (m_ended[index]) {
    // The input was closed; later frames have no place in its stream.
    return -1;
  } else {
    int ret = av_buffersrc_add_frame_flags(source, frame, frame ? AV_BUFFERSRC_FLAG_KEEP_REF : 0);
    if (!frame) m_ended[index] = true;
    if (ret < 0) {
      LOG(ERROR) << "add frame flag failed";
      result = -1;
    }
  }
  if (result == -1) LOG(ERROR) << "add frame failed";
  m_hasData = true;
  m_cond.notify_all();
  return result;
}

int AudioMixer::Start() {
  if (!m_initialised) return -1;
  if (m_running) return 0;
  m_running = true;
  m_thread = std::thread(&AudioMixer::PullLoop, this);
  return 0;
}

void AudioMixer::Stop() {
  if (!m_initialised || !m_running) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
    m_hasData = true;
  }
  m_cond.notify_all();
  if (m_thread.joinable()) m_thread.join();
  Release();
}

AVRational AudioMixer::GetTimeBase() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_outCtx ? av_buffersink_get_time_base(m_outCtx) : m_out.timeBase;
}

void AudioMixer::SetCallbacks(FrameCallback frameCallback, ErrorCallback errorCallback) {
  m_frameCallback = std::move(frameCallback);
  m_errorCallback = std::move(errorCallback);
}

void AudioMixer::Release() {
  std::lock_guard<std::mutex> lock(m_mutex);
  avfilter_inout_free(&m_in0Io);
  avfilter_inout_free(&m_in1Io);
  avfilter_inout_free(&m_outIo);
  avfilter_graph_free(&m_graph);
  m_in0Ctx = m_in1Ctx = m_outCtx = nullptr;
  m_in0 = m_in1 = m_out = AudioStreamFormat{};
  m_initialised = false;
}

void AudioMixer::PullLoop() {
  AVFrame* frame = av_frame_alloc();
  while (frame && m_running) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_hasData && m_running) m_cond.wait_for(lock, std::chrono::milliseconds(300));
    while (m_running && m_hasData) {
      int ret = av_buffersink_get_frame(m_outCtx, frame);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
      if (ret < 0) {
        LOG(ERROR) << "avfilter get frame error";
        break;
      }
      if (m_frameCallback) m_frameCallback(frame, -1);
      av_frame_unref(frame);
    }
    m_hasData = false;
  }
  // Stopping: hand on what the graph still holds (all of it once every input
  // has ended), so the last moments of sound reach the file.
  if (frame) {
    std::lock_guard<std::mutex> lock(m_mutex);
    while (m_outCtx && av_buffersink_get_frame(m_outCtx, frame) >= 0) {
      if (m_frameCallback) m_frameCallback(frame, -1);
      av_frame_unref(frame);
    }
  }
  av_frame_free(&frame);
}
