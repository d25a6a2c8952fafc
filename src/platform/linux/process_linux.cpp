#include "platform/process.h"

#include <unistd.h>

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

}  // namespace platform
