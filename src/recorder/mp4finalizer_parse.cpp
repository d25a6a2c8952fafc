// Reading the fragmented moov's tracks and the sample runs of each fragment.

#include <cstdint>
#include <limits>
#include <vector>

#include "recorder/mp4finalizer_private.h"

using namespace mp4;

namespace {

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

}  // namespace

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
