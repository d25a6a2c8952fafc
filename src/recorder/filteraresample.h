#pragma once

#include <cstdint>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
}

#include <atomic>

#include "recorder/audiostreamformat.h"
#include "recorder/filterworker.h"

#include <string>

// The graph description that converts into `target`,
// e.g. aresample=48000,aformat=sample_fmts=fltp:channel_layouts=stereo.
std::string BuildAresampleDescription(const AudioStreamFormat& target);

// Writes the abuffer argument text for one stream into buffer (bounded).
void FormatAbufferArgs(char* buffer, size_t size, const AudioStreamFormat& stream);

// Makes an abuffersink accept exactly the format of `out`. 0 or an FFmpeg error.
int SetAudioSinkFormat(AVFilterContext* sink, const AudioStreamFormat& out);

// Converts one audio source into the encoder's format on its own pull thread.
class filter_aresample {
 public:
  using FrameCallback = FilterWorker::FrameCallback;
  using ErrorCallback = FilterWorker::ErrorCallback;

  filter_aresample();
  ~filter_aresample();
  filter_aresample(const filter_aresample&) = delete;
  filter_aresample& operator=(const filter_aresample&) = delete;

  int Init(const AudioStreamFormat& source, const AudioStreamFormat& target, int index);
  // A null frame ends the source's stream.
  int AddFrame(AVFrame* frame);
  int Start();
  void Stop();
  AVRational GetTimeBase();
  void SetCallbacks(FrameCallback frameCallback, ErrorCallback errorCallback);
  void Release();

 private:
  int m_index = -1;
  AudioStreamFormat m_source;
  AVFilterContext* m_sourceCtx = nullptr;
  AVFilterInOut* m_sourceIo = nullptr;
  AudioStreamFormat m_target;
  AVFilterContext* m_sinkCtx = nullptr;
  AVFilterInOut* m_sinkIo = nullptr;
  AVFilterGraph* m_graph = nullptr;
  std::atomic<bool> m_initialised{false};
  bool m_ended = false;
  // Last, so that it goes first: its thread is joined before the rest.
  FilterWorker m_worker;
};
