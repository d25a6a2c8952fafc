#pragma once

#include <QMetaType>

#include <string>
#include <vector>

// One audio endpoint: playback endpoints are the speakers recorded by
// loopback, capture endpoints the microphones.
struct AudioDevice {
  std::string id;
  std::string name;
  bool isDefault = false;
};
Q_DECLARE_METATYPE(AudioDevice)

// direction: 0 = render (speakers), 1 = capture (microphones).
// The list is cleared first; 0, or -1 when the endpoints or the default
// endpoint cannot be read.
int GetAudioDevices(int direction, std::vector<AudioDevice>& devices);
int GetRenderDevices(std::vector<AudioDevice>& devices);
int GetCaptureDevices(std::vector<AudioDevice>& devices);

// 0, or -1 when there is no device or the id or name comes out empty.
int GetDefaultAudioDevice(int direction, std::string& id, std::string& name);
int GetDefaultRenderDevice(std::string& id, std::string& name);
int GetDefaultCaptureDevice(std::string& id, std::string& name);
