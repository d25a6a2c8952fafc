#include "recorder/audiodevices.h"

#include <glog/logging.h>

#include "platform/audio_endpoints.h"

namespace {

platform::AudioDirection ToDirection(int direction) {
  return direction == 1 ? platform::AudioDirection::Capture : platform::AudioDirection::Render;
}

}  // namespace

int GetAudioDevices(int direction, std::vector<AudioDevice>& devices) {
  devices.clear();
  auto& endpoints = platform::GetAudioEndpoints();
  platform::AudioEndpointInfo defaultEndpoint;
  std::vector<platform::AudioEndpointInfo> list;
  if (endpoints.Default(ToDirection(direction), platform::AudioRole::Console, &defaultEndpoint) !=
          platform::Result::Ok ||
      endpoints.List(ToDirection(direction), &list) != platform::Result::Ok) {
    LOG(ERROR) << "get_devices failed";
    return -1;
  }
  for (const auto& e : list) {
    if (e.id.empty()) continue;
    devices.push_back({e.id, e.name, e.id == defaultEndpoint.id});
  }
  return 0;
}

int GetRenderDevices(std::vector<AudioDevice>& devices) { return GetAudioDevices(0, devices); }

int GetCaptureDevices(std::vector<AudioDevice>& devices) { return GetAudioDevices(1, devices); }

int GetDefaultAudioDevice(int direction, std::string& id, std::string& name) {
  auto& endpoints = platform::GetAudioEndpoints();
  std::vector<platform::AudioEndpointInfo> list;
  if (endpoints.List(ToDirection(direction), &list) != platform::Result::Ok) {
    LOG(ERROR) << "get_devices failed";
    return -1;
  }
  if (list.empty()) {
    LOG(ERROR) << "device count is 0";
    return -1;
  }
  platform::AudioEndpointInfo defaultEndpoint;
  if (endpoints.Default(ToDirection(direction), platform::AudioRole::Console, &defaultEndpoint) !=
      platform::Result::Ok) {
    LOG(ERROR) << "get_devices failed";
    return -1;
  }
  id = defaultEndpoint.id;
  name = defaultEndpoint.name;
  return (id.empty() || name.empty()) ? -1 : 0;
}

int GetDefaultRenderDevice(std::string& id, std::string& name) { return GetDefaultAudioDevice(0, id, name); }

int GetDefaultCaptureDevice(std::string& id, std::string& name) { return GetDefaultAudioDevice(1, id, name); }
