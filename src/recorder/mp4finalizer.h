#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Turns a fragmented MP4 (a moov without samples, then moof + mdat
// fragments) into an ordinary one in place, without moving the media:
//   Read         walks the top-level boxes, reads the first moov and the
//                sample runs of every fragment that is in the file whole.
//   AppendMoov   appends a moov with full sample tables whose chunk offsets
//                point into the fragments' mdat payloads, and syncs. Readers
//                still take the first, fragmented moov and skip this one.
//   HideFragments  in one small write turns the first moov's header into a
//                free box that reaches up to the new moov, and syncs.
// A kill at any moment leaves a playable file. A file that cannot be
// finished (no room for the moov, a read error) is left as it was.
class Mp4Finalizer {
 public:
  Mp4Finalizer();
  ~Mp4Finalizer();

  // Opens the file (UTF-8 path) for finishing; a file opened as it is made
  // is finished even when it has been renamed or moved meanwhile.
  bool Open(const std::string& path);
  // All the steps; logs why when the file stays fragmented. A file that is
  // ordinary already is left alone and counts as finished.
  bool Finish();
  static bool FinishFile(const std::string& path);

  bool Read();
  // After Read: the first moov carries its samples (no mvex).
  bool IsOrdinary() const;
  bool AppendMoov();
  bool HideFragments();

 private:
  struct State;
  std::string m_path;
  std::unique_ptr<State> m_state;
};
