#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system_info.h"

namespace platform {
namespace fake {

// What the system-information facility reports under the fake backend.
struct FakeSystemInfo {
  std::string cpuName = "Fake CPU @ 3.00GHz";
  std::string osArchitecture = "64-bit";
  std::string osPrettyName = "Fake OS 1.0";
  uint64_t totalMemoryBytes = 8ULL << 30;
  std::vector<GpuAdapter> gpus;
  bool nvidiaEncoderRuntime = false;

  static FakeSystemInfo& Instance();
  // Back to the values above.
  void Reset();
};

}  // namespace fake
}  // namespace platform
