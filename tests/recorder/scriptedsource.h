#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
#include <libavutil/time.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "recorder/videocapture/windowcapturerinterface.h"

// A capture source whose frames and clock the test scripts: `count` BGRA
// frames stamped start + i * step µs (start = the clock at Start), noise or a
// flat grey, and optionally a reported device loss after `lostAfter` frames.
class ScriptedSource : public WindowCapturerInterface {
 public:
  ScriptedSource(int width, int height, int count, int64_t step)
      : m_width(width), m_height(height), m_count(count), m_step(step) {}
  ~ScriptedSource() override { Stop(); }

  bool noise = false;
  int lostAfter = -1;
  // Pacing between frames so that the encoder keeps up (not checked).
  std::chrono::microseconds pace{std::chrono::milliseconds(3)};
  // Added to every stamp: a first frame that comes late after Start.
  int64_t delay = 0;
  // Stamps alternately this much late and early, as a loaded thread takes them.
  int64_t jitter = 0;
  // When set, the clock's time of frame 0 instead of that of Start.
  int64_t origin = 0;
  // Frames it names are white.
  std::function<bool(int)> white;
  // When set, draws frame i over the one before and names what it changed,
  // as a screen that reports its damage does.
  std::function<void(int, uint8_t* bgra, std::vector<platform::Rect>* changes)> paint;
  std::atomic<int> delivered{0};
  std::atomic<bool> done{false};

  bool IsSupported(platform::MonitorId) override { return true; }
  bool Init(const CaptureParams&) override {
    m_pixelFormat = AV_PIX_FMT_BGRA;
    m_captureRect = platform::Rect{0, 0, m_width, m_height};
    m_initialised = true;
    return true;
  }
  int Start() override {
    if (!m_initialised) return -1;
    if (m_running) return 0;
    m_running = true;
    m_captureThread = std::thread([this] { Run(); });
    return 0;
  }
  bool Stop() override {
    m_running = false;
    if (m_captureThread.joinable()) m_captureThread.join();
    return true;
  }
  bool Snapshot(platform::MonitorId, uint8_t**, int*, int*) override { return false; }

 private:
  void Run() {
    std::vector<uint8_t> pixels(size_t(m_width) * m_height * 4, 0x80);
    std::mt19937 random(7);
    AVFrame* frame = av_frame_alloc();
    const int64_t start = origin ? origin : av_gettime_relative();
    for (int i = 0; i < m_count && m_running; ++i) {
      if (i == lostAfter) {
        for (WindowCapturerObserver* observer : m_observers) observer->OnDeviceLost();
        break;
      }
      if (noise)
        for (auto& b : pixels) b = static_cast<uint8_t>(random());
      if (white) std::fill(pixels.begin(), pixels.end(), white(i) ? 0xFF : 0x80);
      if (paint) {
        m_changes.clear();
        paint(i, pixels.data(), &m_changes);
        m_changesKnown = true;
      }
      frame->width = m_width;
      frame->height = m_height;
      frame->format = AV_PIX_FMT_BGRA;
      frame->pts = frame->pkt_dts = start + delay + i * m_step + (i % 2 ? -jitter : jitter);
      av_image_fill_arrays(frame->data, frame->linesize, pixels.data(), AV_PIX_FMT_BGRA, m_width,
                           m_height, 1);
      if (m_frameCallback) m_frameCallback(frame);
      ++delivered;
      std::this_thread::sleep_for(pace);
    }
    av_frame_free(&frame);
    done = true;
  }

  int m_width;
  int m_height;
  int m_count;
  int64_t m_step;
};
