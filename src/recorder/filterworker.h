#pragma once

#include <cstdint>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// The pull thread of an audio filter graph: it waits until frames are added,
// drains the graph's buffer sink and hands each frame on; at Stop it hands
// on what the sink still holds. The owner keeps the graph (and frees it),
// starts and stops the thread, and guards the graph with Mutex().
class FilterWorker {
 public:
  using FrameCallback = std::function<void(AVFrame*, int)>;
  using ErrorCallback = std::function<void(int, int)>;
  // Both run on the thread with the mutex held: onFrame for each frame the
  // sink gives (the worker unrefs it afterwards), onError for an error the
  // sink returns.
  using FrameHook = std::function<void(AVFrame*)>;
  using ErrorHook = std::function<void(int)>;

  // `sink` points at the owner's sink, read with the mutex held.
  FilterWorker(const char* threadName, AVFilterContext* const* sink, FrameHook onFrame, ErrorHook onError);
  ~FilterWorker();
  FilterWorker(const FilterWorker&) = delete;
  FilterWorker& operator=(const FilterWorker&) = delete;

  std::mutex& Mutex() { return m_mutex; }
  bool Running() const { return m_running; }
  void Start();
  // Wakes the thread and joins it.
  void Stop();
  // Mutex held: frames were added (or an input ended).
  void Wake();
  // The sink's time base, or `fallback` (read with the mutex held) without one.
  AVRational TimeBase(const AVRational& fallback);
  void SetCallbacks(FrameCallback frameCallback, ErrorCallback errorCallback);
  void Emit(AVFrame* frame, int index) const;
  void Report(int error, int index) const;

 private:
  void PullLoop();
  void Hand(AVFrame* frame);

  const char* m_threadName;
  AVFilterContext* const* m_sink;
  FrameHook m_onFrame;
  ErrorHook m_onError;
  FrameCallback m_frameCallback;
  ErrorCallback m_errorCallback;
  std::atomic<bool> m_running{false};
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_hasData = false;
};
