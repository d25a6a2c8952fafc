#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "frameringbuffer.h"
#include "recorder/recorderror.h"

// Encodes whole AAC frames of PCM on its own thread.
class AacEncoder {
 public:
  using PacketCallback = std::function<void(AVPacket*)>;
  using ErrorCallback = std::function<void(RecordError)>;

  AacEncoder();
  ~AacEncoder();
  AacEncoder(const AacEncoder&) = delete;
  AacEncoder& operator=(const AacEncoder&) = delete;

  int Init(int channels, int sampleRate, int sampleFormat, int bitRate);
  int GetFrameSize();
  int GetExtradataSize();
  const uint8_t* GetExtradata();
  void SetCallbacks(PacketCallback packetCallback, ErrorCallback errorCallback);
  int Start();
  void Stop();
  // One block of exactly one encoder frame; the header gives the timestamps.
  // 0, or -1 when the block has the wrong size or the queue is full.
  int PushPcm(const uint8_t* data, int size, const AVFrame* header);
  void Release();

 private:
  void EncodeLoop();
  int DrainQueue(AVPacket* packet);
  int Encode(AVFrame* frame, AVPacket* packet);

  PacketCallback m_packetCallback;
  ErrorCallback m_errorCallback;
  std::unique_ptr<FrameRingBuffer> m_queue;
  std::atomic<bool> m_initialised{false};
  std::atomic<bool> m_running{false};
  std::thread m_thread;
  const AVCodec* m_codec = nullptr;
  AVCodecContext* m_context = nullptr;
  AVFrame* m_frame = nullptr;
  uint8_t* m_buffer = nullptr;
  int m_bufferSize = 0;
  std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_hasData = false;
};
