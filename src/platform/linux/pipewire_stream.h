#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/backend.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_buffer;
struct spa_pod;

namespace platform::native {

// The pointer as a cast's metadata shows it, in stream pixels.
struct CastPointer {
  bool visible = false;
  int x = 0;  // hot spot position
  int y = 0;
  int hotX = 0;
  int hotY = 0;
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // premultiplied BGRA, top-down
};

// Turns a cursor metadata block into *pointer. Returns whether anything of
// the pointer changed (position, visibility or image); *shapeChanged tells
// whether the image did. size: the bytes of the block.
bool ReadCursorMeta(const void* meta, uint32_t size, CastPointer* pointer, bool* shapeChanged);

// Receives one video node of a PipeWire remote (a screen cast) on a thread of
// its own. The newest picture's buffer is held (not given back to the node)
// until a newer one comes; it can be lent out to be read in place, or copied
// out as packed BGRx. A lent buffer goes back to the node once the loan ends
// and a newer one came.
class PipeWireVideoStream {
 public:
  PipeWireVideoStream();
  ~PipeWireVideoStream();
  PipeWireVideoStream(const PipeWireVideoStream&) = delete;
  PipeWireVideoStream& operator=(const PipeWireVideoStream&) = delete;

  // Connects over fd (taken over) to the node and waits until a format is
  // agreed. False when none comes within timeoutMs.
  bool Start(int fd, uint32_t nodeId, int timeoutMs);
  int Width() const;
  int Height() const;

  struct Update {
    bool picture = false;  // *image holds a new picture
    bool pointer = false;  // the pointer changed
    bool shape = false;    // its image changed
    int width = 0;         // the new picture's size
    int height = 0;
  };
  // Waits at most timeoutMs for a new picture or pointer change; *pointer
  // gets the pointer as it stands. False when nothing came.
  bool Wait(int timeoutMs, CastPointer* pointer, Update* update, int64_t* arrival);
  // Lends the newest picture until EndLoan: *data and *stride describe its
  // rows, *width and *height its size, *bgrx tells whether they are BGRx
  // already. Ends the loan before. False when no picture is held.
  // *changes gets the parts that changed since the picture lent before, as
  // the node marked them (appended); false in *changesKnown when it did not
  // mark them all.
  bool Lend(const uint8_t** data, int* stride, bool* bgrx, int* width, int* height,
            std::vector<Rect>* changes, bool* changesKnown);
  // Copies the lent picture into *image as packed BGRx at the size it was
  // lent with; false when none.
  bool CopyLent(std::vector<uint8_t>* image);
  // Ends the loan; a lent buffer that a newer picture replaced goes back to
  // the node at once.
  void EndLoan();
  // True once the stream ended (the node went, the remote broke).
  bool Ended();

  // PipeWire's callbacks.
  void OnStateChanged(int state, const char* error);
  void OnParamChanged(uint32_t id, const spa_pod* param);
  void OnProcess();
  void OnRemoveBuffer(void* buffer);
  void OnGlobalRemoved(uint32_t id);
  void OnCoreError(uint32_t id, int res, const char* message);

 private:
  void Stop();
  // With m_mutex held: the picture's first row, or null when the buffer is
  // smaller than width x height.
  const uint8_t* Rows(void* buffer, int width, int height, size_t* stride);
  void EndLoanLocked();
  // With m_mutex held: adds what the node marked changed in a new picture.
  void NoteDamage(spa_buffer* buffer);

  pw_thread_loop* m_loop = nullptr;
  pw_context* m_context = nullptr;
  pw_core* m_core = nullptr;
  pw_stream* m_stream = nullptr;
  struct Hooks;
  std::unique_ptr<Hooks> m_hooks;
  uint32_t m_nodeId = 0;

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_width = 0;
  int m_height = 0;
  uint32_t m_format = 0;
  bool m_negotiated = false;
  bool m_ended = false;
  void* m_held = nullptr;  // pw_buffer of the newest picture
  void* m_lent = nullptr;  // pw_buffer being read in place
  int m_lentWidth = 0;     // its size and format when lent
  int m_lentHeight = 0;
  uint32_t m_lentFormat = 0;
  std::vector<void*> m_returned;  // lent while a newer came: to go back to the node
  bool m_newPicture = false;
  // What changed since the picture lent last, and whether all of it is known.
  std::vector<Rect> m_damage;
  bool m_damageKnown = false;
  uint64_t m_lastSeq = 0;
  int64_t m_arrival = 0;
  CastPointer m_pointer;
  bool m_pointerChanged = false;
  bool m_shapeChanged = false;
};

}  // namespace platform::native
