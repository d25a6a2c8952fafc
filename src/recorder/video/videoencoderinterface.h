#pragma once

#include "recorder/video/libavh264.h"

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "recorder/recorderror.h"

struct AVFrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameFree>;

// An H.264 encoder fed with pictures in its own pixel format and size. The
// pictures live in pooled, reference-counted buffers that the producer fills
// and queues; a dedicated thread hands them to the codec as they are (the
// codec takes a reference instead of a copy) and the packets to the packet
// callback. Packet timestamps are the frames' capture times in microseconds.
class VideoEncoderInterface {
 public:
  using PacketCallback = std::function<void(AVPacket*)>;
  using ErrorCallback = std::function<void(RecordError)>;

  // Pictures the input queue holds.
  static constexpr int kQueuedFrames = 10;
  // Pictures the pool holds ready from the start.
  static constexpr int kWarmFrames = 3;

  VideoEncoderInterface() = default;
  virtual ~VideoEncoderInterface() = default;
  VideoEncoderInterface(const VideoEncoderInterface&) = delete;
  VideoEncoderInterface& operator=(const VideoEncoderInterface&) = delete;

  virtual bool IsSupported() = 0;
  // 0 on success. reserved is ignored; keyFrameSeconds 0 means the default
  // key-frame interval.
  virtual int Init(int width, int height, int fps, int reserved, int qp, int keyFrameSeconds) = 0;
  // The AVPixelFormat the encoder wants.
  virtual int GetPixelFormat() = 0;
  virtual int GetExtradataSize() = 0;
  virtual const uint8_t* GetExtradata() = 0;
  // 0 started or already running, -1 not initialised.
  virtual int Start();
  virtual void Stop();
  // Stop that first encodes every queued picture and drains the codec, so
  // the last packets reach the packet callback before the thread ends.
  void StopAfterDrain();
  // Queues one picture (encoder format and size, planes packed one after
  // the other) by copying it. When the encoder lags and the queue is full
  // the picture is dropped and counted. Always 0.
  virtual int PushFrame(const uint8_t* data, int size, const AVFrame& header);
  // A blank picture of the encoder's format and size from the pool, to be
  // filled and queued with PushFrame; null before Init or without memory.
  AVFramePtr NewFrame();
  // Queues a reference-counted picture of the encoder's format and size
  // without copying it; dropped and counted like the above.
  int PushFrame(AVFramePtr frame);
  // The next pushed picture becomes a key frame.
  virtual void RequestKeyFrame();
  virtual void Close() = 0;
  virtual void EncodeLoop() = 0;

  void SetCallbacks(PacketCallback packetCallback, ErrorCallback errorCallback);

  // Pictures refused because the ring was full.
  uint64_t DroppedFrames() const { return m_droppedFrames.load(); }
  // Pictures taken from the ring and given to the codec.
  uint64_t EncodedFrames() const { return m_encodedFrames.load(); }
  // Key frames asked for by RequestKeyFrame.
  uint64_t KeyFramesRequested() const { return m_keyFramesRequested.load(); }

 protected:
  // The picture pool, for pictures of this format and size.
  bool AllocateQueue(AVPixelFormat format, int width, int height);
  // What an encoder logs and answers when a step of its open fails.
  struct OpenFailures {
    const char* noContext;   // the context cannot be allocated
    int noContextCode;
    const char* openFailed;  // the codec refuses to open
    bool withReason;         // FFmpeg's reason follows the text
    int openFailedCode;
    int noPoolCode;          // the picture pool cannot be made
  };
  // Allocates the codec's context, lets setUp fill it and the options,
  // opens it and makes the picture pool. 0, or the failing step's code
  // (logged); the caller then closes the codec.
  int OpenCodec(LibavH264* codec, int width, int height,
                const std::function<void(AVCodecContext*, AVDictionary**)>& setUp,
                const OpenFailures& failures);
  // The shared loop: waits for pictures, takes them from the queue one at a
  // time and runs encode outside the queue lock.
  void RunEncodeLoop(const std::function<int(AVFrame*, AVPacket*)>& encode);
  // send_frame/receive_packet; packets go to the packet callback.
  int EncodeWith(struct AVCodecContext* context, AVFrame* frame, AVPacket* packet,
                 const char* sendError, const char* receiveError);

  struct PoolFree {
    void operator()(AVBufferPool* pool) const { av_buffer_pool_uninit(&pool); }
  };
  std::unique_ptr<AVBufferPool, PoolFree> m_pool;
  AVPixelFormat m_format = AV_PIX_FMT_NONE;
  int m_width = 0;
  int m_height = 0;
  int m_frameBytes = 0;
  std::deque<AVFramePtr> m_queue;  // under m_queueMutex
  PacketCallback m_packetCallback;
  ErrorCallback m_errorCallback;
  std::atomic<bool> m_initialised{false};
  std::atomic<bool> m_running{false};
  std::thread m_encodeThread;
  std::mutex m_queueMutex;
  std::condition_variable m_queueCond;
  bool m_hasData = false;
  std::atomic<bool> m_keyFrameRequested{false};
  std::atomic<bool> m_drainOnStop{false};
  std::atomic<uint64_t> m_droppedFrames{0};
  std::atomic<uint64_t> m_encodedFrames{0};
  std::atomic<uint64_t> m_keyFramesRequested{0};
};
