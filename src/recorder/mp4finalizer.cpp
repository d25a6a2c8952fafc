#include "recorder/mp4finalizer.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <glog/logging.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace {

constexpr uint32_t Tag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
         uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}

// Boxes larger than this are not read whole: no moov or moof of ours comes
// near it.
constexpr uint64_t kMaxReadBox = 256u << 20;

// tfhd flags
constexpr uint32_t kBaseDataOffset = 0x1;
constexpr uint32_t kSampleDescription = 0x2;
constexpr uint32_t kDefaultDuration = 0x8;
constexpr uint32_t kDefaultSize = 0x10;
constexpr uint32_t kDefaultFlags = 0x20;
constexpr uint32_t kBaseIsMoof = 0x20000;
// trun flags
constexpr uint32_t kDataOffset = 0x1;
constexpr uint32_t kFirstSampleFlags = 0x4;
constexpr uint32_t kSampleDuration = 0x100;
constexpr uint32_t kSampleSize = 0x200;
constexpr uint32_t kSampleFlags = 0x400;
constexpr uint32_t kSampleCts = 0x800;
// sample flags
constexpr uint32_t kNonSync = 0x10000;

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
bool Children(const uint8_t* p, size_t n, std::vector<Box>* out) {
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

const Box* Find(const std::vector<Box>& boxes, uint32_t type) {
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

uint64_t Rescale(uint64_t value, uint32_t from, uint32_t to) {
  if (from == 0) return 0;
  return static_cast<uint64_t>(av_rescale(static_cast<int64_t>(value), to, from));
}

// mvhd, tkhd and mdhd with a new duration; version 1 when a field needs 64
// bits. tkhd has its track id and a reserved word before the duration, the
// others their time scale.
bool WriteTimes(Writer& w, const Box& box, uint64_t duration) {
  Reader r{box.body, box.bodySize};
  const uint32_t versionFlags = r.U32();
  const bool v1 = (versionFlags >> 24) == 1;
  const uint64_t created = v1 ? r.U64() : r.U32();
  const uint64_t modified = v1 ? r.U64() : r.U32();
  const bool tkhd = box.type == Tag("tkhd");
  const uint32_t first = r.U32();
  const uint32_t reserved = tkhd ? r.U32() : 0;
  r.Skip(v1 ? 8 : 4);
  if (!r.ok) return false;
  const uint64_t big = std::numeric_limits<uint32_t>::max();
  const bool out1 = v1 || created > big || modified > big || duration > big;
  const size_t at = w.BeginFull(box.type, out1 ? 1 : 0, versionFlags & 0xFFFFFF);
  if (out1) {
    w.U64(created);
    w.U64(modified);
  } else {
    w.U32(static_cast<uint32_t>(created));
    w.U32(static_cast<uint32_t>(modified));
  }
  w.U32(first);
  if (tkhd) w.U32(reserved);
  if (out1)
    w.U64(duration);
  else
    w.U32(static_cast<uint32_t>(duration));
  w.Bytes(box.body + r.pos, box.bodySize - r.pos);
  w.End(at);
  return true;
}

}  // namespace

struct Mp4Finalizer::State {
  platform::RandomAccessFile file;
  int64_t fileSize = 0;
  int64_t moovOffset = -1;
  uint64_t moovSize = 0;
  std::vector<uint8_t> moov;  // body of the first moov
  bool ordinary = false;
  uint32_t movieTimescale = 0;
  std::vector<Track> tracks;
  int64_t newMoovOffset = -1;

  Track* TrackById(uint32_t id) {
    for (Track& t : tracks)
      if (t.id == id) return &t;
    return nullptr;
  }
  bool ParseMoov();
  bool ParseMoof(int64_t offset, const std::vector<uint8_t>& body, size_t headerSize);
  bool ParseTraf(const Box& traf, int64_t moofOffset, uint64_t* dataEnd);
  std::vector<uint8_t> BuildMoov() const;
  bool WriteTrak(Writer& w, const Box& trak) const;
  void WriteTables(Writer& w, const Track& t) const;
};

bool Mp4Finalizer::State::ParseMoov() {
  std::vector<Box> children;
  if (!Children(moov.data(), moov.size(), &children)) return false;
  ordinary = !Find(children, Tag("mvex"));
  const Box* mvhd = Find(children, Tag("mvhd"));
  if (!mvhd) return false;
  Reader r{mvhd->body, mvhd->bodySize};
  const bool v1 = (r.U32() >> 24) == 1;
  r.Skip(v1 ? 16 : 8);
  movieTimescale = r.U32();
  if (!r.ok || movieTimescale == 0) return false;

  std::vector<Box> level, inner;
  for (const Box& trak : children) {
    if (trak.type != Tag("trak")) continue;
    Track t;
    if (!Children(trak.body, trak.bodySize, &level)) return false;
    const Box* tkhd = Find(level, Tag("tkhd"));
    const Box* mdia = Find(level, Tag("mdia"));
    if (!tkhd || !mdia) return false;
    Reader th{tkhd->body, tkhd->bodySize};
    th.Skip((th.U32() >> 24) == 1 ? 16 : 8);
    t.id = th.U32();
    if (!Children(mdia->body, mdia->bodySize, &inner)) return false;
    const Box* mdhd = Find(inner, Tag("mdhd"));
    const Box* hdlr = Find(inner, Tag("hdlr"));
    if (!mdhd || !hdlr) return false;
    Reader mh{mdhd->body, mdhd->bodySize};
    mh.Skip((mh.U32() >> 24) == 1 ? 16 : 8);
    t.timescale = mh.U32();
    Reader hd{hdlr->body, hdlr->bodySize};
    hd.Skip(8);
    t.video = hd.U32() == Tag("vide");
    if (!th.ok || !mh.ok || !hd.ok || t.timescale == 0) return false;
    tracks.push_back(t);
  }
  if (tracks.empty()) return false;
  if (const Box* mvex = Find(children, Tag("mvex"))) {
    if (!Children(mvex->body, mvex->bodySize, &level)) return false;
    for (const Box& trex : level) {
      if (trex.type != Tag("trex")) continue;
      Reader fields{trex.body, trex.bodySize};
      fields.Skip(4);
      Track* t = TrackById(fields.U32());
      Defaults d;
      d.description = fields.U32();
      d.duration = fields.U32();
      d.size = fields.U32();
      d.flags = fields.U32();
      if (!fields.ok) return false;
      if (t) t->trex = d;
    }
  }
  return true;
}

bool Mp4Finalizer::State::ParseMoof(int64_t offset, const std::vector<uint8_t>& body,
                                    size_t headerSize) {
  std::vector<Box> children;
  if (!Children(body.data() + headerSize, body.size() - headerSize, &children)) return false;
  // Without an explicit base, a track fragment's data follows the one before.
  uint64_t dataEnd = static_cast<uint64_t>(offset);
  for (const Box& traf : children)
    if (traf.type == Tag("traf") && !ParseTraf(traf, offset, &dataEnd)) return false;
  return true;
}

bool Mp4Finalizer::State::ParseTraf(const Box& traf, int64_t moofOffset, uint64_t* dataEnd) {
  std::vector<Box> children;
  if (!Children(traf.body, traf.bodySize, &children)) return false;
  const Box* tfhd = Find(children, Tag("tfhd"));
  if (!tfhd) return false;
  Reader h{tfhd->body, tfhd->bodySize};
  const uint32_t flags = h.U32() & 0xFFFFFF;
  Track* t = TrackById(h.U32());
  if (!t) return false;
  Defaults d = t->trex;
  uint64_t base = (flags & kBaseIsMoof) ? static_cast<uint64_t>(moofOffset) : *dataEnd;
  if (flags & kBaseDataOffset) base = h.U64();
  if (flags & kSampleDescription) d.description = h.U32();
  if (flags & kDefaultDuration) d.duration = h.U32();
  if (flags & kDefaultSize) d.size = h.U32();
  if (flags & kDefaultFlags) d.flags = h.U32();
  if (!h.ok) return false;

  if (const Box* tfdt = Find(children, Tag("tfdt"))) {
    Reader r{tfdt->body, tfdt->bodySize};
    const bool v1 = (r.U32() >> 24) == 1;
    const int64_t dts = static_cast<int64_t>(v1 ? r.U64() : r.U32());
    if (!r.ok) return false;
    if (t->firstDts < 0) {
      t->firstDts = t->nextDts = dts;
    } else if (dts != t->nextDts && !t->durations.empty() && !t->ended) {
      // The fragment's own time holds: the sample before it lasts up to it.
      const int64_t last = int64_t(t->durations.back()) + dts - t->nextDts;
      if (last > 0 && last <= std::numeric_limits<uint32_t>::max()) {
        t->durations.back() = static_cast<uint32_t>(last);
        t->nextDts = dts;
      }
    }
  }
  if (t->firstDts < 0) t->firstDts = 0;

  uint64_t next = base;
  for (const Box& trun : children) {
    if (trun.type != Tag("trun")) continue;
    Reader r{trun.body, trun.bodySize};
    const uint32_t versionFlags = r.U32();
    const bool signedCts = (versionFlags >> 24) != 0;
    const uint32_t tf = versionFlags & 0xFFFFFF;
    const uint32_t count = r.U32();
    if (tf & kDataOffset) next = base + static_cast<int64_t>(static_cast<int32_t>(r.U32()));
    const uint32_t firstFlags = (tf & kFirstSampleFlags) ? r.U32() : d.flags;
    const size_t perSample = 4 * (!!(tf & kSampleDuration) + !!(tf & kSampleSize) +
                                  !!(tf & kSampleFlags) + !!(tf & kSampleCts));
    if (!r.ok || (perSample > 0 && count > (r.n - r.pos) / perSample)) return false;
    const uint64_t chunkStart = next;
    uint32_t taken = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t duration = (tf & kSampleDuration) ? r.U32() : d.duration;
      const uint32_t size = (tf & kSampleSize) ? r.U32() : d.size;
      uint32_t sampleFlags = (tf & kSampleFlags) ? r.U32() : d.flags;
      if (i == 0 && !(tf & kSampleFlags) && (tf & kFirstSampleFlags)) sampleFlags = firstFlags;
      int64_t cts = 0;
      if (tf & kSampleCts) {
        const uint32_t raw = r.U32();
        cts = signedCts ? int64_t(int32_t(raw)) : int64_t(raw);
      }
      if (!r.ok) return false;
      if (t->ended || next + size > static_cast<uint64_t>(fileSize)) {
        t->ended = true;
        next += size;
        continue;
      }
      t->sizes.push_back(size);
      t->durations.push_back(duration);
      t->offsets.push_back(cts);
      if (!(sampleFlags & kNonSync)) t->sync.push_back(static_cast<uint32_t>(t->sizes.size()));
      t->nextDts += duration;
      next += size;
      ++taken;
    }
    if (taken > 0) t->chunks.push_back(Chunk{chunkStart, taken, d.description});
  }
  *dataEnd = next;
  return true;
}

void Mp4Finalizer::State::WriteTables(Writer& w, const Track& t) const {
  const size_t n = t.sizes.size();
  // Decoding times.
  size_t at = w.BeginFull(Tag("stts"), 0, 0);
  std::vector<std::pair<uint32_t, uint32_t>> runs;  // count, value
  for (uint32_t d : t.durations) {
    if (!runs.empty() && runs.back().second == d)
      ++runs.back().first;
    else
      runs.emplace_back(1, d);
  }
  w.U32(static_cast<uint32_t>(runs.size()));
  for (const auto& [count, value] : runs) {
    w.U32(count);
    w.U32(value);
  }
  w.End(at);

  // Composition offsets, when any picture is shown at another time.
  bool anyOffset = false, negative = false;
  for (int64_t o : t.offsets) {
    anyOffset |= o != 0;
    negative |= o < 0;
  }
  if (anyOffset) {
    std::vector<std::pair<uint32_t, int64_t>> cts;
    for (int64_t o : t.offsets) {
      if (!cts.empty() && cts.back().second == o)
        ++cts.back().first;
      else
        cts.emplace_back(1, o);
    }
    at = w.BeginFull(Tag("ctts"), negative ? 1 : 0, 0);
    w.U32(static_cast<uint32_t>(cts.size()));
    for (const auto& [count, value] : cts) {
      w.U32(count);
      w.U32(static_cast<uint32_t>(value));
    }
    w.End(at);
  }

  // Where a player may seek to; a picture track always tells.
  if (t.video || t.sync.size() != n) {
    at = w.BeginFull(Tag("stss"), 0, 0);
    w.U32(static_cast<uint32_t>(t.sync.size()));
    for (uint32_t s : t.sync) w.U32(s);
    w.End(at);
  }

  // Chunks: one per sample run of a fragment.
  at = w.BeginFull(Tag("stsc"), 0, 0);
  std::vector<Chunk> entries;  // offset holds the first chunk's number
  for (size_t i = 0; i < t.chunks.size(); ++i) {
    const Chunk& c = t.chunks[i];
    if (entries.empty() || entries.back().samples != c.samples ||
        entries.back().description != c.description)
      entries.push_back(Chunk{i + 1, c.samples, c.description});
  }
  w.U32(static_cast<uint32_t>(entries.size()));
  for (const Chunk& e : entries) {
    w.U32(static_cast<uint32_t>(e.offset));
    w.U32(e.samples);
    w.U32(e.description);
  }
  w.End(at);

  bool uniform = n > 0;
  for (uint32_t s : t.sizes) uniform &= s == t.sizes.front();
  at = w.BeginFull(Tag("stsz"), 0, 0);
  w.U32(uniform ? t.sizes.front() : 0);
  w.U32(static_cast<uint32_t>(n));
  if (!uniform)
    for (uint32_t s : t.sizes) w.U32(s);
  w.End(at);

  bool wide = false;
  for (const Chunk& c : t.chunks) wide |= c.offset > std::numeric_limits<uint32_t>::max();
  at = w.BeginFull(wide ? Tag("co64") : Tag("stco"), 0, 0);
  w.U32(static_cast<uint32_t>(t.chunks.size()));
  for (const Chunk& c : t.chunks) {
    if (wide)
      w.U64(c.offset);
    else
      w.U32(static_cast<uint32_t>(c.offset));
  }
  w.End(at);
}

namespace {

bool IsSampleTable(uint32_t type) {
  static constexpr uint32_t kTables[] = {
      Tag("stts"), Tag("ctts"), Tag("cslg"), Tag("stss"), Tag("stsh"), Tag("sdtp"), Tag("stsc"),
      Tag("stsz"), Tag("stz2"), Tag("stco"), Tag("co64"), Tag("padb"), Tag("subs"), Tag("sbgp")};
  for (uint32_t t : kTables)
    if (type == t) return true;
  return false;
}

}  // namespace

// The track as the fragmented moov has it, with its durations and edit list
// set, its sample tables filled and everything else copied.
bool Mp4Finalizer::State::WriteTrak(Writer& w, const Box& trak) const {
  std::vector<Box> level;
  if (!Children(trak.body, trak.bodySize, &level)) return false;
  const Box* tkhd = Find(level, Tag("tkhd"));
  if (!tkhd) return false;
  Reader th{tkhd->body, tkhd->bodySize};
  th.Skip((th.U32() >> 24) == 1 ? 16 : 8);
  const uint32_t id = th.U32();
  const Track* t = nullptr;
  for (const Track& candidate : tracks)
    if (candidate.id == id) t = &candidate;
  if (!t) return false;
  const uint64_t media = t->MediaDuration();
  const uint64_t mediaInMovie = Rescale(media, t->timescale, movieTimescale);
  // A track that starts after the file's start begins with an empty edit.
  const uint64_t delay =
      t->firstDts > 0 ? Rescale(static_cast<uint64_t>(t->firstDts), t->timescale, movieTimescale) : 0;

  const size_t trakAt = w.Begin(Tag("trak"));
  for (const Box& c : level) {
    if (c.type == Tag("tkhd")) {
      if (!WriteTimes(w, c, delay + mediaInMovie)) return false;
      if (delay > 0) {
        const bool v1 = delay + mediaInMovie > std::numeric_limits<uint32_t>::max();
        const size_t edts = w.Begin(Tag("edts"));
        const size_t elst = w.BeginFull(Tag("elst"), v1 ? 1 : 0, 0);
        w.U32(2);
        for (const auto& [duration, start] :
             {std::pair<uint64_t, int64_t>{delay, -1}, std::pair<uint64_t, int64_t>{mediaInMovie, 0}}) {
          if (v1) {
            w.U64(duration);
            w.U64(static_cast<uint64_t>(start));
          } else {
            w.U32(static_cast<uint32_t>(duration));
            w.U32(static_cast<uint32_t>(start));
          }
          w.U32(0x10000);  // rate 1.0
        }
        w.End(elst);
        w.End(edts);
      }
    } else if (c.type == Tag("edts")) {
      // Replaced by the one above.
    } else if (c.type == Tag("mdia")) {
      std::vector<Box> mdia, minf, stbl;
      if (!Children(c.body, c.bodySize, &mdia)) return false;
      const size_t mdiaAt = w.Begin(c.type);
      for (const Box& m : mdia) {
        if (m.type == Tag("mdhd")) {
          if (!WriteTimes(w, m, media)) return false;
        } else if (m.type == Tag("minf")) {
          if (!Children(m.body, m.bodySize, &minf)) return false;
          const size_t minfAt = w.Begin(m.type);
          for (const Box& i : minf) {
            if (i.type != Tag("stbl")) {
              w.Bytes(i.start, i.size);
              continue;
            }
            if (!Children(i.body, i.bodySize, &stbl) || !Find(stbl, Tag("stsd"))) return false;
            const size_t stblAt = w.Begin(i.type);
            for (const Box& s : stbl) {
              if (IsSampleTable(s.type)) continue;
              w.Bytes(s.start, s.size);
              if (s.type == Tag("stsd")) WriteTables(w, *t);
            }
            w.End(stblAt);
          }
          w.End(minfAt);
        } else {
          w.Bytes(m.start, m.size);
        }
      }
      w.End(mdiaAt);
    } else {
      w.Bytes(c.start, c.size);
    }
  }
  w.End(trakAt);
  return true;
}

std::vector<uint8_t> Mp4Finalizer::State::BuildMoov() const {
  std::vector<Box> children;
  if (!Children(moov.data(), moov.size(), &children)) return {};
  uint64_t movieDuration = 0;
  for (const Track& t : tracks) {
    const uint64_t delay =
        t.firstDts > 0 ? Rescale(static_cast<uint64_t>(t.firstDts), t.timescale, movieTimescale) : 0;
    movieDuration = std::max(movieDuration, delay + Rescale(t.MediaDuration(), t.timescale, movieTimescale));
  }
  Writer w;
  const size_t at = w.Begin(Tag("moov"));
  for (const Box& c : children) {
    if (c.type == Tag("mvhd")) {
      if (!WriteTimes(w, c, movieDuration)) return {};
    } else if (c.type == Tag("trak")) {
      if (!WriteTrak(w, c)) return {};
    } else if (c.type != Tag("mvex")) {
      w.Bytes(c.start, c.size);
    }
  }
  w.End(at);
  return w.bytes();
}

Mp4Finalizer::Mp4Finalizer() : m_state(std::make_unique<State>()) {}

Mp4Finalizer::~Mp4Finalizer() = default;

bool Mp4Finalizer::Open(const std::string& path) {
  m_path = path;
  if (m_state->file.Open(path)) return true;
  LOG(ERROR) << "mp4 finishing cannot open " << path << ": " << m_state->file.LastError();
  return false;
}

bool Mp4Finalizer::IsOrdinary() const { return m_state->ordinary; }

bool Mp4Finalizer::Read() {
  State& s = *m_state;
  if (!s.file.IsOpen()) return false;
  s.fileSize = s.file.Size();
  if (s.fileSize < 0) {
    LOG(ERROR) << "mp4 finishing cannot read the size of " << m_path << ": " << s.file.LastError();
    return false;
  }
  int64_t offset = 0;
  std::vector<uint8_t> body;
  while (s.fileSize - offset >= 8) {
    uint8_t header[16];
    const size_t headerBytes = s.fileSize - offset >= 16 ? 16 : 8;
    if (!s.file.ReadAt(offset, header, headerBytes)) {
      LOG(ERROR) << "mp4 finishing cannot read " << m_path << ": " << s.file.LastError();
      return false;
    }
    Reader r{header, headerBytes};
    uint64_t size = r.U32();
    const uint32_t type = r.U32();
    if (size == 1) size = r.U64();
    else if (size == 0) size = static_cast<uint64_t>(s.fileSize - offset);
    // A box cut short (a full disk, a crash) ends the file; what it holds
    // is not counted.
    if (!r.ok || size > static_cast<uint64_t>(s.fileSize - offset)) break;
    if (size < r.pos) {
      LOG(ERROR) << "mp4 finishing: a broken box at " << offset << " of " << m_path;
      return false;
    }
    const bool wanted = (type == Tag("moov") && s.moovOffset < 0) || type == Tag("moof");
    if (wanted) {
      if (size > kMaxReadBox) {
        LOG(ERROR) << "mp4 finishing: a box of " << size << " bytes in " << m_path;
        return false;
      }
      body.resize(static_cast<size_t>(size));
      if (!s.file.ReadAt(offset, body.data(), body.size())) {
        LOG(ERROR) << "mp4 finishing cannot read " << m_path << ": " << s.file.LastError();
        return false;
      }
      if (type == Tag("moov")) {
        s.moovOffset = offset;
        s.moovSize = size;
        s.moov.assign(body.begin() + r.pos, body.end());
        if (!s.ParseMoov()) {
          LOG(ERROR) << "mp4 finishing: the moov of " << m_path << " cannot be read";
          return false;
        }
        if (s.ordinary) return true;
      } else if (s.moovOffset < 0 || !s.ParseMoof(offset, body, r.pos)) {
        LOG(ERROR) << "mp4 finishing: the fragment at " << offset << " of " << m_path
                   << " cannot be read";
        return false;
      }
    }
    offset += static_cast<int64_t>(size);
  }
  if (s.moovOffset < 0) {
    LOG(ERROR) << "mp4 finishing: " << m_path << " has no moov";
    return false;
  }
  size_t samples = 0;
  for (const Track& t : s.tracks) samples += t.sizes.size();
  if (samples == 0) {
    LOG(ERROR) << "mp4 finishing: " << m_path << " holds no samples";
    return false;
  }
  return true;
}

bool Mp4Finalizer::AppendMoov() {
  State& s = *m_state;
  const std::vector<uint8_t> moov = s.BuildMoov();
  if (moov.empty()) {
    LOG(ERROR) << "mp4 finishing: no moov could be made for " << m_path;
    return false;
  }
  if (!s.file.WriteAt(s.fileSize, moov.data(), moov.size()) || !s.file.Sync()) {
    LOG(ERROR) << "mp4 finishing cannot write the moov of " << m_path << ": "
               << s.file.LastError();
    // What part of it was written goes again: the file stays as it was.
    if (!s.file.Truncate(s.fileSize))
      LOG(ERROR) << "mp4 finishing cannot cut " << m_path << " back: " << s.file.LastError();
    return false;
  }
  s.newMoovOffset = s.fileSize;
  return true;
}

bool Mp4Finalizer::HideFragments() {
  State& s = *m_state;
  if (s.newMoovOffset < 0) return false;
  // The free box reaches from the old moov to the new one; the media inside
  // it stays where the new moov's chunk offsets point.
  const uint64_t span = static_cast<uint64_t>(s.newMoovOffset - s.moovOffset);
  Writer w;
  if (span <= std::numeric_limits<uint32_t>::max()) {
    w.U32(static_cast<uint32_t>(span));
    w.U32(Tag("free"));
  } else {
    if (s.moovSize < 16) return false;
    w.U32(1);
    w.U32(Tag("free"));
    w.U64(span);
  }
  if (!s.file.WriteAt(s.moovOffset, w.bytes().data(), w.bytes().size())) {
    LOG(ERROR) << "mp4 finishing cannot hide the fragments of " << m_path << ": "
               << s.file.LastError();
    if (!s.file.Truncate(s.newMoovOffset))
      LOG(ERROR) << "mp4 finishing cannot cut " << m_path << " back: " << s.file.LastError();
    return false;
  }
  if (!s.file.Sync()) {
    LOG(ERROR) << "mp4 finishing cannot sync " << m_path << ": " << s.file.LastError();
    return false;
  }
  return true;
}

bool Mp4Finalizer::Finish() {
  const auto start = std::chrono::steady_clock::now();
  if (!Read()) {
    LOG(WARNING) << "left fragmented: " << m_path;
    return false;
  }
  if (IsOrdinary()) return true;
  if (!AppendMoov() || !HideFragments()) {
    LOG(WARNING) << "left fragmented: " << m_path;
    return false;
  }
  LOG(INFO) << "finished as an ordinary mp4 in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count()
            << " ms: " << m_path;
  return true;
}

bool Mp4Finalizer::FinishFile(const std::string& path) {
  Mp4Finalizer finalizer;
  return finalizer.Open(path) && finalizer.Finish();
}
