#include "camera/deviceinfods.h"

#include <glog/logging.h>

#include <cstring>

int64_t MinFrameInterval(const int64_t* array, int count) {
  int64_t min = array[0];
  for (int i = 1; i < count; ++i) min = std::min(min, array[i]);
  return min;
}

int32_t VideoTypeFromCameraFormat(platform::CameraPixelFormat format) {
  using F = platform::CameraPixelFormat;
  switch (format) {
    case F::I420: return kVideoI420;
    case F::BGR24: return kVideoRGB24;
    case F::YUY2: return kVideoYUY2;
    case F::UYVY: return kVideoUYVY;
    case F::MJPEG: return kVideoMJPEG;
    case F::H264: return kVideoH264;
    case F::NV12:
    case F::Unknown: break;
  }
  return kVideoUnknown;
}

DeviceInfoDS* CreateDeviceInfoDS() {
  auto* info = new DeviceInfoDS();
  if (!info->Init()) {
    LOG(ERROR) << "Failed to create CLSID_SystemDeviceEnum, error 0x" << std::hex << -1;
    delete info;
    return nullptr;
  }
  return info;
}

bool DeviceInfoDS::Init() { return true; }

int DeviceInfoDS::LoadCapabilities(const char* id, const char* name) {
  if (!id || !name) return -1;
  return ReadCapabilities(id, name);
}

bool DeviceInfoDS::FindDevice(const std::string& id, const std::string& name,
                              platform::CameraDevice* device) {
  if (id.size() > 1024 || name.size() > 256) {
    LOG(INFO) << "Device name too long";
    return false;
  }
  const auto devices = platform::GetCameras().List();
  if (devices.empty()) {
    LOG(INFO) << "Failed to enumerate CLSID_SystemDeviceEnum, error 0x1" << ". No webcam exist?";
    return false;
  }
  // The stored id names one device, also in the older form of its device
  // node. A by-id link names the camera itself, whatever it calls itself
  // now; a node can pass to another camera when cameras are plugged again,
  // so it counts only with the stored name. The name alone finds a camera
  // whose id changed.
  for (const auto& d : devices) {
    if (id.empty() || (d.id != id && d.node != id)) continue;
    const bool byLink = d.id == id && !d.node.empty();
    if (!byLink && !name.empty() && d.name != name) {
      LOG(WARNING) << "camera " << id << " is now " << d.name << ", not " << name;
      continue;
    }
    *device = d;
    return true;
  }
  for (const auto& d : devices) {
    if (!name.empty() && d.name == name) {
      *device = d;
      return true;
    }
  }
  return false;
}

int DeviceInfoDS::ReadCapabilities(const char* id, const char* name) {
  m_capabilities.clear();
  if (strlen(id) >= 1025) {
    LOG(INFO) << "Device name too long";
    return -1;
  }
  platform::CameraDevice device;
  if (!FindDevice(id, name, &device)) {
    LOG(ERROR) << "Get device failed:" << id;
    return -1;
  }
  std::vector<platform::CameraFormat> formats;
  if (platform::GetCameras().Formats(device.id, &formats) != platform::Result::Ok) {
    LOG(INFO) << "Failed to GetNumberOfCapabilities";
    return -1;
  }
  for (size_t i = 0; i < formats.size(); ++i) {
    const auto& f = formats[i];
    VideoCaptureCapabilityDS cap;
    cap.capabilityIndex = uint32_t(i);
    cap.width = f.width;
    cap.height = f.height;
    cap.interlaced = f.interlaced;
    cap.format = f;
    const int64_t minInterval =
        f.frameIntervals.empty() ? 0 : MinFrameInterval(f.frameIntervals.data(), int(f.frameIntervals.size()));
    if (minInterval != 0) {
      cap.maxFPS = int32_t(10000000 / minInterval);
      cap.frameRateControl = true;
    } else {
      LOG(INFO) << "GetMaxAvailableFrameRate NOT SUPPORTED";
      cap.maxFPS = f.averageInterval < 1 ? 0 : int32_t(10000000 / f.averageInterval);
    }
    cap.videoType = VideoTypeFromCameraFormat(f.pixelFormat);
    if (cap.videoType == kVideoUnknown) {
      LOG(WARNING) << "Device support unknown media type " << platform::CameraPixelFormatName(f.pixelFormat)
                   << ", width " << f.width << ", height " << f.height;
      continue;
    }
    m_capabilities.push_back(cap);
    m_capabilitiesRead.push_back(cap);
    LOG(INFO) << "Camera capability, width:" << cap.width << " height:" << cap.height
              << " type:" << cap.videoType << " fps:" << cap.maxFPS;
  }
  return int(m_capabilities.size());
}

int DeviceInfoDS::GetCapabilityAt(int index, VideoCaptureCapabilityDS& out) const {
  if (index < 0 || index >= int(m_capabilitiesRead.size())) return -1;
  out = m_capabilitiesRead[index];
  return 0;
}

int DeviceInfoDS::GetCapabilityAt(int index, VideoCaptureCapability& out) const {
  VideoCaptureCapabilityDS cap;
  if (GetCapabilityAt(index, cap) != 0) return -1;
  out = cap;
  return 0;
}

VideoCaptureCapability ChoosePreviewCapability(DeviceInfoDS* info, const std::string& id,
                                               const std::string& name) {
  VideoCaptureCapability best;
  if (!info) return best;
  const int count = info->LoadCapabilities(id.c_str(), name.c_str());
  for (int i = 0; i < count; ++i) {
    VideoCaptureCapability cap;
    if (info->GetCapabilityAt(i, cap) != 0) continue;
    const bool usable = cap.videoType == kVideoH264 || cap.videoType == kVideoMJPEG ||
                        cap.videoType == kVideoI420 || cap.videoType == kVideoNV12 ||
                        cap.videoType == kVideoRGB24;
    if (usable && cap.width > best.width) best = cap;
  }
  return best;
}
