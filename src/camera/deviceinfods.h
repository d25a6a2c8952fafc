#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera/videodevices.h"
#include "platform/cameras.h"

struct VideoCaptureCapabilityDS : VideoCaptureCapability {
  uint32_t capabilityIndex = 0;   // index into the device's format list
  bool frameRateControl = false;  // the rate came from the camera's interval list
  platform::CameraFormat format;  // the device format behind this entry
};

// Reads the formats of one camera. Made for one device and one read.
class DeviceInfoDS {
 public:
  virtual ~DeviceInfoDS() = default;
  bool Init();
  int LoadCapabilities(const char* id, const char* name);
  virtual int ReadCapabilities(const char* id, const char* name);
  int GetCapabilityAt(int index, VideoCaptureCapability& out) const;
  int GetCapabilityAt(int index, VideoCaptureCapabilityDS& out) const;
  // The device with this id; a device node counts only with this name. Else
  // the first with this name; false when none.
  bool FindDevice(const std::string& id, const std::string& name, platform::CameraDevice* device);

 private:
  std::vector<VideoCaptureCapabilityDS> m_capabilities;
  std::vector<VideoCaptureCapabilityDS> m_capabilitiesRead;
};

DeviceInfoDS* CreateDeviceInfoDS();

int64_t MinFrameInterval(const int64_t* array, int count);

// Maps a device pixel format to its code; unknown for formats not previewed
// from a device list (NV12 among them).
int32_t VideoTypeFromCameraFormat(platform::CameraPixelFormat format);

// The widest capability whose type can be previewed (H264, MJPEG, I420, NV12,
// RGB24); the first of equal widths wins. Width 0 when there is none.
VideoCaptureCapability ChoosePreviewCapability(DeviceInfoDS* info, const std::string& id,
                                               const std::string& name);
