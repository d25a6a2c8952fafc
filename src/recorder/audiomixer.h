#pragma once

#include <cstdint>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
}

#include <atomic>

#include "recorder/audiostreamformat.h"
#include "recorder/filterworker.h"

// Mixes two audio sources (speaker loopback and microphone) into the
// encoder's format on its own pull thread. Both inputs are placed by their
// timestamps, which share one clock; the mix starts with the first frame
// either brings.
class AudioMixer {
 public:
  using FrameCallback = FilterWorker::FrameCallback;
  using ErrorCallback = FilterWorker::ErrorCallback;

  AudioMixer();
  ~AudioMixer();
  AudioMixer(const AudioMixer&) = delete;
  AudioMixer& operator=(const AudioMixer&) = delete;

  int Init(const AudioStreamFormat& in0, const AudioStreamFormat& in1,
           const AudioStreamFormat& out);
  // index 0 feeds in0, 1 feeds in1; a null frame ends that input.
  int AddFrame(AVFrame* frame, int index);
  int Start();
  void Stop();
  AVRational GetTimeBase();
  void SetCallbacks(FrameCallback frameCallback, ErrorCallback errorCallback);
  void Release();

 private:
  int AddAligned(AVFrame* frame, int index);
  void Deliver(AVFrame* frame);

  AudioStreamFormat m_in0;
  AVFilterContext* m_in0Ctx = nullptr;
  AVFilterInOut* m_in0Io = nullptr;
  AudioStreamFormat m_in1;
  AVFilterContext* m_in1Ctx = nullptr;
  AVFilterInOut* m_in1Io = nullptr;
  AudioStreamFormat m_out;
  AVFilterContext* m_outCtx = nullptr;
  AVFilterInOut* m_outIo = nullptr;
  AVFilterGraph* m_graph = nullptr;
  std::atomic<bool> m_initialised{false};
  bool m_ended[2] = {false, false};
  bool m_started[2] = {false, false};
  // The first timestamp either input brought (µs), under the mutex.
  int64_t m_originUs = AV_NOPTS_VALUE;
  // Where the mix's last frame ended (the sink's time base).
  int64_t m_nextPts = AV_NOPTS_VALUE;
  // Last, so that it goes first: its thread is joined before the rest.
  FilterWorker m_worker;
};
