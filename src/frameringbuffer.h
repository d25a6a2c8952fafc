#pragma once

extern "C" {
#include <libavutil/frame.h>
}

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

// Header and payload length of one queued frame. The header is a bitwise copy
// of the producer's AVFrame: its data pointers are never followed; readers use
// its timing and picture-type fields.
struct FrameRecord {
  AVFrame frame;
  size_t size;
};

// Carries raw frames or sample blocks from a producer thread to an encoder
// thread through one fixed byte ring. Write never overwrites unread payloads:
// a payload that does not fit is refused.
class FrameRingBuffer {
 public:
  explicit FrameRingBuffer(size_t capacity);
  ~FrameRingBuffer();
  FrameRingBuffer(const FrameRingBuffer&) = delete;
  FrameRingBuffer& operator=(const FrameRingBuffer&) = delete;

  // Stores one payload and its header. False (nothing stored) when the
  // payload would not fit beside the unread ones.
  bool Write(const uint8_t* data, size_t size, const AVFrame* header);

  // Takes the oldest payload into dst (room bytes). Returns its length, or 0
  // when the queue is empty or the payload was larger than room (it is then
  // dropped and the next ones stay intact).
  size_t Read(uint8_t* dst, size_t room, AVFrame* header);

  size_t Capacity() const { return m_capacity; }
  size_t UnreadBytes() const;
  size_t QueuedFrames() const;

 private:
  void CopyIn(size_t& pos, const uint8_t* src, size_t n);
  void CopyOut(size_t& pos, uint8_t* dst, size_t n);
  void Skip(size_t& pos, size_t n);

  mutable std::mutex m_mutex;
  std::deque<FrameRecord> m_records;
  const size_t m_capacity;
  size_t m_writePos = 0;
  size_t m_readPos = 0;
  size_t m_unread = 0;
  std::unique_ptr<uint8_t[]> m_ring;
};
