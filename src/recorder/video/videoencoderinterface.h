#pragma once

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/frame.h>
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

// An H.264 encoder fed with pictures in its own pixel format and size. Frames
// wait in a ring of a few pictures; a dedicated thread encodes them and hands
// the packets to the packet callback. Packet timestamps are the frames'
// capture times in microseconds.
class VideoEncoderInterface {
 public:
  using PacketCallback = std::function<void(AVPacket*)>;
  using ErrorCallback = std::function<void(RecordError)>;

  // Pictures the input ring holds.
  static constexpr int kQueuedFrames = 10;

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
  // Queues one picture (encoder format and size). When the encoder lags and
  // the ring is full the picture is dropped and counted. Always 0.
  virtual int PushFrame(const uint8_t* data, int size, const AVFrame& header);
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
  // Sizes the ring for kQueuedFrames pictures of frameBytes each.
  void AllocateQueue(int frameBytes);
  // The shared loop: waits for pictures, takes them from the ring one at a
  // time into buffer/frame and runs encode outside the queue lock.
  void RunEncodeLoop(uint8_t* buffer, int bufferSize, AVFrame* frame,
                     const std::function<int(AVFrame*, AVPacket*)>& encode);
  // send_frame/receive_packet; packets go to the packet callback.
  int EncodeWith(struct AVCodecContext* context, AVFrame* frame, AVPacket* packet,
                 const char* sendError, const char* receiveError);

  std::unique_ptr<FrameRingBuffer> m_queue;
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
