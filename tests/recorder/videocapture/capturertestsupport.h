#pragma once

#include <QCoreApplication>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

// Keeps copies of the frames a capture source delivers.
struct FrameSink {
  struct Copy {
    int width = 0;
    int height = 0;
    int64_t pts = 0;
    int format = -1;
    int linesize = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[size_t(y) * width + x]; }
  };

  void operator()(AVFrame* frame) {
    Copy copy;
    copy.width = frame->width;
    copy.height = frame->height;
    copy.pts = frame->pts;
    copy.format = frame->format;
    copy.linesize = frame->linesize[0];
    copy.pixels.resize(size_t(frame->width) * frame->height);
    std::memcpy(copy.pixels.data(), frame->data[0], copy.pixels.size() * 4);
    std::lock_guard<std::mutex> lock(mutex);
    frames.push_back(std::move(copy));
    cond.notify_all();
  }

  // Waits (generously; not a timing check) until pred holds for the frames.
  bool WaitFor(const std::function<bool(const std::vector<Copy>&)>& pred,
               bool pumpQt = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::unique_lock<std::mutex> lock(mutex);
    while (!pred(frames)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (pumpQt) {
        lock.unlock();
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lock.lock();
      } else {
        cond.wait_for(lock, std::chrono::milliseconds(20));
      }
    }
    return true;
  }

  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames.size();
  }

  Copy Last() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames.back();
  }

  std::mutex mutex;
  std::condition_variable cond;
  std::vector<Copy> frames;
};
