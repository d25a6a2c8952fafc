#pragma once

#include <QMetaType>

#include <cstdint>
#include <string>
#include <vector>

// A camera as listed to the user: its name and the identifier stored in the
// settings.
struct DeviceInfo {
  std::string name;
  std::string id;  // at most 255 characters
};
Q_DECLARE_METATYPE(DeviceInfo)

// Camera pixel-format codes.
enum VideoType : int32_t {
  kVideoUnknown = 0,
  kVideoI420 = 1,
  kVideoIYUV = 2,
  kVideoRGB24 = 3,
  kVideoRGB565 = 7,
  kVideoYUY2 = 9,
  kVideoUYVY = 11,
  kVideoMJPEG = 12,
  kVideoNV12 = 14,
  kVideoH264 = 16,
};

struct VideoCaptureCapability {
  int32_t width = 0;
  int32_t height = 0;  // negative for a bottom-up RGB24 stream
  int32_t maxFPS = 0;
  int32_t videoType = kVideoUnknown;
  bool interlaced = false;
};

// Fills the list with the cameras in enumeration order; true when there is one.
bool EnumVideoDevices(std::vector<DeviceInfo>& list);

// Registers DeviceInfo with the meta-type system under its own name.
void RegisterDeviceInfoMetaType();
