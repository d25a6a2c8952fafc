#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct GpuAdapter {
  uint32_t vendorId = 0;
  uint32_t deviceId = 0;
  std::string description;
};

// Machine facts for the start-up log and the encoder choice.
std::string CpuName();                  // "" when unknown
std::string OsArchitecture();           // "64-bit" or "32-bit"
std::string OsPrettyName();             // distribution name and version
uint64_t TotalMemoryBytes();            // 0 when unknown
std::vector<GpuAdapter> ListGpuAdapters();  // display controllers; empty when none found
// Whether the NVIDIA encoder runtime can be loaded (it then stays loaded).
bool LoadNvidiaEncoderRuntime();
// The desktop session runs on Wayland, whose screens and windows the X11
// capture cannot see.
bool IsWaylandSession();

}  // namespace platform
