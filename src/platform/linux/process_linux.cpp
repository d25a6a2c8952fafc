#include "platform/process.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/linux/process_linux.h"

namespace platform {

namespace native {

long ParentPidFromStat(const std::string& stat) {
  // "pid (comm) state ppid ..."; the command name may hold spaces and ')'.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 1));
  std::string state;
  long ppid = 0;
  if (!(rest >> state >> ppid) || ppid < 0) return 0;
  return ppid;
}

}  // namespace native

long CurrentProcessId() { return static_cast<long>(getpid()); }

long ParentProcessId() {
  std::ifstream in("/proc/self/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const long ppid = native::ParentPidFromStat(stat);
  return ppid > 0 ? ppid : static_cast<long>(getppid());
}

NamedLock::NamedLock(const std::string& name, bool wait) {
  // The user's own runtime folder, else the temporary one.
  std::string folder = "/tmp";
  for (const char* variable : {"TMPDIR", "XDG_RUNTIME_DIR"}) {
    const char* value = std::getenv(variable);
    if (value && *value) folder = value;
  }
  const std::string path = folder + "/" + name + ".lock";
  m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (m_fd < 0) return;
  int result;
  do {
    result = flock(m_fd, LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    m_busy = errno == EWOULDBLOCK;
    close(m_fd);
    m_fd = -1;
  }
}

NamedLock::~NamedLock() {
  if (m_fd >= 0) close(m_fd);  // releases the lock
}

}  // namespace platform
