#include "camera/videodevices.h"

#include <glog/logging.h>

#include "platform/cameras.h"

bool EnumVideoDevices(std::vector<DeviceInfo>& list) {
  const auto devices = platform::GetCameras().List();
  if (devices.empty()) {
    LOG(ERROR) << "pClassEnum" << " is null";
    return false;
  }
  for (const auto& d : devices) {
    if (d.name.empty()) continue;
    list.push_back({d.name, d.id.substr(0, 255)});
  }
  return !list.empty();
}

void RegisterDeviceInfoMetaType() { qRegisterMetaType<DeviceInfo>("DeviceInfo"); }
