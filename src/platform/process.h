#pragma once

#include <string>

namespace platform {

long CurrentProcessId();
// 0 when it cannot be found.
long ParentProcessId();

// An exclusive lock shared by every process of the user under one name,
// held from construction to destruction; the system lets it go when its
// holder ends, however it ends.
class NamedLock {
 public:
  // wait: block until the lock is free; else give up at once when another
  // holds it.
  NamedLock(const std::string& name, bool wait);
  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  bool Held() const { return m_fd >= 0; }
  // Another holds it (as opposed to: no lock could be made at all).
  bool Busy() const { return m_busy; }

 private:
  int m_fd = -1;
  bool m_busy = false;
};

}  // namespace platform
