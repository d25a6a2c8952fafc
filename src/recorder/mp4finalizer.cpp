#include "recorder/mp4finalizer.h"

#include <glog/logging.h>

#include <chrono>
#include <limits>
#include <vector>

#include "recorder/mp4finalizer_private.h"

using namespace mp4;

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
