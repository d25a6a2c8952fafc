#pragma once

#include <string>

namespace platform {
namespace native {

// The parent's id from the text of /proc/<pid>/stat; 0 when malformed.
long ParentPidFromStat(const std::string& stat);

}  // namespace native
}  // namespace platform
