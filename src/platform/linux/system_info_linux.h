#pragma once

#include <string>
#include <vector>

#include "platform/system_info.h"

namespace platform {
namespace native {

// Display controllers (PCI class 0x03xxxx) under a sysfs PCI device folder,
// described from a pci.ids database when it names them.
std::vector<GpuAdapter> ListGpuAdaptersIn(const std::string& pciDevicesFolder,
                                          const std::string& pciIdsFile);

std::string CpuName();
std::string OsArchitecture();
std::string OsPrettyName();
uint64_t TotalMemoryBytes();
std::vector<GpuAdapter> ListGpuAdapters();
bool LoadNvidiaEncoderRuntime();
bool IsWaylandSession();

}  // namespace native
}  // namespace platform
