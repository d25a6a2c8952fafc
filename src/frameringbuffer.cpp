#include "frameringbuffer.h"

#include <cstring>

FrameRingBuffer::FrameRingBuffer(size_t capacity)
    : m_capacity(capacity), m_ring(new uint8_t[capacity > 0 ? capacity : 1]) {}

FrameRingBuffer::~FrameRingBuffer() = default;

// Both positions follow one rule: copy in one piece when it fits before the
// end of the ring, else split it across the end.
void FrameRingBuffer::CopyIn(size_t& pos, const uint8_t* src, size_t n) {
  if (pos + n <= m_capacity) {
    std::memcpy(m_ring.get() + pos, src, n);
    pos += n;
    return;
  }
  const size_t first = m_capacity - pos;
  const size_t rest = n - first;
  if (first > 0) std::memcpy(m_ring.get() + pos, src, first);
  if (rest > 0) std::memcpy(m_ring.get(), src + first, rest);
  pos = rest;
}

void FrameRingBuffer::CopyOut(size_t& pos, uint8_t* dst, size_t n) {
  if (pos + n <= m_capacity) {
    std::memcpy(dst, m_ring.get() + pos, n);
    pos += n;
    return;
  }
  const size_t first = m_capacity - pos;
  const size_t rest = n - first;
  if (first > 0) std::memcpy(dst, m_ring.get() + pos, first);
  if (rest > 0) std::memcpy(dst + first, m_ring.get(), rest);
  pos = rest;
}

void FrameRingBuffer::Skip(size_t& pos, size_t n) {
  pos = (pos + n <= m_capacity) ? pos + n : n - (m_capacity - pos);
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
