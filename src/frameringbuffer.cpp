#include "frameringbuffer.h"

#include <cstring>

FrameRingBuffer::FrameRingBuffer(size_t capacity)
    : m_capacity(capacity), m_ring(new uint8_t[capacity > 0 ? capacity : 1]) {}

FrameRingBuffer::~FrameRingBuffer() = default;

// Both positions follow one rule: one piece when it fits before the end of
// the ring, else split across the end. copy(ringOffset, payloadOffset, n).
template <typename Copy>
static void Wrap(size_t capacity, size_t& pos, size_t n, Copy copy) {
  if (pos + n <= capacity) {
    copy(pos, 0, n);
    pos += n;
    return;
  }
  const size_t first = capacity - pos;
  const size_t rest = n - first;
  if (first > 0) copy(pos, 0, first);
  if (rest > 0) copy(0, first, rest);
  pos = rest;
}

void FrameRingBuffer::CopyIn(size_t& pos, const uint8_t* src, size_t n) {
  Wrap(m_capacity, pos, n, [&](size_t ring, size_t payload, size_t len) {
    std::memcpy(m_ring.get() + ring, src + payload, len);
  });
}

void FrameRingBuffer::CopyOut(size_t& pos, uint8_t* dst, size_t n) {
  Wrap(m_capacity, pos, n, [&](size_t ring, size_t payload, size_t len) {
    std::memcpy(dst + payload, m_ring.get() + ring, len);
  });
}

void FrameRingBuffer::Skip(size_t& pos, size_t n) {
  Wrap(m_capacity, pos, n, [](size_t, size_t, size_t) {});
}

bool FrameRingBuffer::Write(const uint8_t* data, size_t size, const AVFrame* header) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (size > m_capacity - m_unread) return false;
  CopyIn(m_writePos, data, size);
  FrameRecord record;
  record.frame = *header;
  record.size = size;
  m_records.push_back(record);
  m_unread += size;
  return true;
}

size_t FrameRingBuffer::Read(uint8_t* dst, size_t room, AVFrame* header) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_records.empty()) return 0;
  const FrameRecord record = m_records.front();
  m_records.pop_front();
  m_unread -= record.size;
  if (record.size > room) {
    Skip(m_readPos, record.size);
    return 0;
  }
  *header = record.frame;
  CopyOut(m_readPos, dst, record.size);
  return record.size;
}

size_t FrameRingBuffer::UnreadBytes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_unread;
}

size_t FrameRingBuffer::QueuedFrames() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_records.size();
}
