#pragma once

// Shared by the source files of Mp4Finalizer, and by them only: the box
// reader and writer, the tracks as the fragments describe them, and the
// finalizer's state.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/files.h"
#include "recorder/mp4finalizer.h"

namespace mp4 {

constexpr uint32_t Tag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
         uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}

// Boxes larger than this are not read whole: no moov or moof of ours comes
// near it.
constexpr uint64_t kMaxReadBox = 256u << 20;

// Big-endian fields of a box body, bounds-checked: a short body clears ok.
struct Reader {
  const uint8_t* p;
  size_t n;
  size_t pos = 0;
  bool ok = true;

  bool Has(size_t k) {
    if (n - pos < k) ok = false;
    return ok;
  }
  uint64_t Get(size_t k) {
    if (!Has(k)) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < k; ++i) v = v << 8 | p[pos + i];
    pos += k;
    return v;
  }
  uint32_t U32() { return static_cast<uint32_t>(Get(4)); }
  uint64_t U64() { return Get(8); }
  void Skip(size_t k) {
    if (Has(k)) pos += k;
  }
};

struct Box {
  uint32_t type = 0;
  const uint8_t* start = nullptr;  // header included
  size_t size = 0;
  const uint8_t* body = nullptr;
  size_t bodySize = 0;
};

// The child boxes of a body, in order; false when one overruns it.
inline bool Children(const uint8_t* p, size_t n, std::vector<Box>* out) {
  out->clear();
  size_t pos = 0;
  while (pos < n) {
    Reader r{p + pos, n - pos};
    uint64_t size = r.U32();
    const uint32_t type = r.U32();
    if (size == 1) size = r.U64();
    else if (size == 0) size = n - pos;
    if (!r.ok || size < r.pos || size > n - pos) return false;
    Box box;
    box.type = type;
    box.start = p + pos;
    box.size = static_cast<size_t>(size);
    box.body = p + pos + r.pos;
    box.bodySize = static_cast<size_t>(size - r.pos);
    out->push_back(box);
    pos += static_cast<size_t>(size);
  }
  return true;
}

inline const Box* Find(const std::vector<Box>& boxes, uint32_t type) {
  for (const Box& b : boxes)
    if (b.type == type) return &b;
  return nullptr;
}

class Writer {
 public:
  void U8(uint8_t v) { m_bytes.push_back(v); }
  void U16(uint16_t v) { Put(v, 2); }
  void U32(uint32_t v) { Put(v, 4); }
  void U64(uint64_t v) { Put(v, 8); }
  void Bytes(const uint8_t* p, size_t n) { m_bytes.insert(m_bytes.end(), p, p + n); }
  size_t Begin(uint32_t type) {
    const size_t at = m_bytes.size();
    U32(0);
    U32(type);
    return at;
  }
  size_t BeginFull(uint32_t type, uint8_t version, uint32_t flags) {
    const size_t at = Begin(type);
    U32(uint32_t(version) << 24 | flags);
    return at;
  }
  void End(size_t at) {
    const uint64_t size = m_bytes.size() - at;
    for (int i = 0; i < 4; ++i) m_bytes[at + i] = uint8_t(size >> (24 - 8 * i));
  }
  const std::vector<uint8_t>& bytes() const { return m_bytes; }

 private:
  void Put(uint64_t v, int k) {
    for (int i = k - 1; i >= 0; --i) m_bytes.push_back(uint8_t(v >> (8 * i)));
  }
  std::vector<uint8_t> m_bytes;
};

struct Defaults {
  uint32_t description = 1;
  uint32_t duration = 0;
  uint32_t size = 0;
  uint32_t flags = 0;
};

struct Chunk {
  uint64_t offset;
  uint32_t samples;
  uint32_t description;
};

struct Track {
  uint32_t id = 0;
  uint32_t timescale = 0;
  bool video = false;
  Defaults trex;
  std::vector<uint32_t> sizes;
  std::vector<uint32_t> durations;
  std::vector<int64_t> offsets;  // composition offsets
  std::vector<uint32_t> sync;    // 1-based sample numbers
  std::vector<Chunk> chunks;
  int64_t firstDts = -1;
  int64_t nextDts = 0;
  bool ended = false;  // a sample lay past the end of the file: none after it counts

  uint64_t MediaDuration() const {
    uint64_t sum = 0;
    for (uint32_t d : durations) sum += d;
    return sum;
  }
};

}  // namespace mp4

struct Mp4Finalizer::State {
  platform::RandomAccessFile file;
  int64_t fileSize = 0;
  int64_t moovOffset = -1;
  uint64_t moovSize = 0;
  std::vector<uint8_t> moov;  // body of the first moov
  bool ordinary = false;
  uint32_t movieTimescale = 0;
  std::vector<mp4::Track> tracks;
  int64_t newMoovOffset = -1;

  mp4::Track* TrackById(uint32_t id) {
    for (mp4::Track& t : tracks)
      if (t.id == id) return &t;
    return nullptr;
  }
  bool ParseMoov();
  bool ParseMoof(int64_t offset, const std::vector<uint8_t>& body, size_t headerSize);
  bool ParseTraf(const mp4::Box& traf, int64_t moofOffset, uint64_t* dataEnd);
  std::vector<uint8_t> BuildMoov() const;
  bool WriteTrak(mp4::Writer& w, const mp4::Box& trak) const;
  void WriteTables(mp4::Writer& w, const mp4::Track& t) const;
};
