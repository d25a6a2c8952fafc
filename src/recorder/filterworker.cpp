#include "recorder/filterworker.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavutil/error.h>
}

#include <chrono>
#include <utility>

#include "platform/thread_name.h"

FilterWorker::FilterWorker(const char* threadName, AVFilterContext* const* sink, FrameHook onFrame,
                           ErrorHook onError)
    : m_threadName(threadName), m_sink(sink), m_onFrame(std::move(onFrame)), m_onError(std::move(onError)) {}

FilterWorker::~FilterWorker() {
  if (m_thread.joinable()) Stop();
}

void FilterWorker::Start() {
  m_running = true;
  m_thread = std::thread(&FilterWorker::PullLoop, this);
}

void FilterWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
    m_hasData = true;
  }
  m_cond.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void FilterWorker::Wake() {
  m_hasData = true;
  m_cond.notify_all();
}

AVRational FilterWorker::TimeBase(const AVRational& fallback) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return *m_sink ? av_buffersink_get_time_base(*m_sink) : fallback;
}

void FilterWorker::SetCallbacks(FrameCallback frameCallback, ErrorCallback errorCallback) {
  m_frameCallback = std::move(frameCallback);
  m_errorCallback = std::move(errorCallback);
}

void FilterWorker::Emit(AVFrame* frame, int index) const {
  if (m_frameCallback) m_frameCallback(frame, index);
}

void FilterWorker::Report(int error, int index) const {
  if (m_errorCallback) m_errorCallback(error, index);
}

void FilterWorker::PullLoop() {
  platform::SetCurrentThreadName(m_threadName);
  AVFrame* frame = av_frame_alloc();
  while (frame && m_running) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_hasData && m_running) m_cond.wait_for(lock, std::chrono::milliseconds(300));
    while (m_running && m_hasData) {
      int ret = av_buffersink_get_frame(*m_sink, frame);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
      if (ret < 0) {
        m_onError(ret);
        break;
      }
      Hand(frame);
    }
    m_hasData = false;
  }
  // Stopping: hand on what the graph still holds (all of it once every input
  // has ended), so the last moments of sound reach the file.
  if (frame) {
    std::lock_guard<std::mutex> lock(m_mutex);
    while (*m_sink && av_buffersink_get_frame(*m_sink, frame) >= 0) Hand(frame);
  }
  av_frame_free(&frame);
}

// Mutex held.
void FilterWorker::Hand(AVFrame* frame) {
  m_onFrame(frame);
  av_frame_unref(frame);
}
