// The new moov: the fragmented one's tracks with their durations, edit lists
// and full sample tables.

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "recorder/mp4finalizer_private.h"

using namespace mp4;

namespace {

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
