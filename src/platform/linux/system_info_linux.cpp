#include "platform/system_info.h"

namespace platform {
std::string CpuName() { return ""; }
std::string OsArchitecture() { return "64-bit"; }
std::string OsPrettyName() { return ""; }
uint64_t TotalMemoryBytes() { return 0; }
std::vector<GpuAdapter> ListGpuAdapters() { return {}; }
bool LoadNvidiaEncoderRuntime() { return false; }
}  // namespace platform
