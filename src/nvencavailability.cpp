#include "nvencavailability.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <glog/logging.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "platform/system_info.h"

namespace {

constexpr uint32_t kNvidiaVendorId = 0x10DE;

// NVIDIA adapters without a usable encoder.
constexpr uint32_t kNoEncoderDevices[] = {
    0x1298, 0x1140, 0x1293, 0x1290, 0x0FE1, 0x0FDF, 0x1294, 0x1292, 0x0FE2, 0x0FE3, 0x1140,
    0x0FED, 0x1340, 0x1393, 0x1341, 0x1398, 0x1390, 0x1344, 0x1299, 0x134F, 0x134E, 0x1349,
    0x1346, 0x179C, 0x139C, 0x1347, 0x134D, 0x134B, 0x1399, 0x1348, 0x1D01, 0x0FC5, 0x174E,
    0x174D, 0x1D10, 0x1D12, 0x1D11, 0x1D13, 0x1D52, 0x1C94, 0x137B, 0x1D33, 0x137A};

}  // namespace

bool HasNvidiaAdapter() {
  for (const auto& adapter : platform::ListGpuAdapters()) {
    if (adapter.vendorId != kNvidiaVendorId) continue;
    if (std::find(std::begin(kNoEncoderDevices), std::end(kNoEncoderDevices),
                  adapter.deviceId) == std::end(kNoEncoderDevices))
      return true;
  }
  return false;
}

bool LoadNvencLibrary() { return platform::LoadNvidiaEncoderRuntime(); }

bool IsNvencAvailable() {
  if (!avcodec_find_encoder_by_name("h264_nvenc")) {
    LOG(ERROR) << "can't find nvenc";
    return false;
  }
  if (!HasNvidiaAdapter()) {
    LOG(ERROR) << "no nv enc device is available";
    return false;
  }
  if (!LoadNvencLibrary()) {
    LOG(ERROR) << "load nvenc failed";
    return false;
  }
  return true;
}
