#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/backend.h"

// Sound endpoints: playback endpoints ("speakers", recorded by loopback) and
// capture endpoints (microphones), their shared-mode mix formats, event-driven
// capture streams, silent playback streams and default-device notifications.
// No call waits on the sound system for long: a system that does not answer
// fails the call, and its streams fail as a lost device's do.
namespace platform {

enum class AudioDirection { Render = 0, Capture = 1 };
enum class AudioRole { Console = 0, Communications = 1 };

struct AudioEndpointInfo {
  std::string id;    // stable id the endpoint is opened with
  std::string name;  // friendly name; may be empty
};

enum class AudioFormatTag { Pcm, IeeeFloat, Extensible, Other };
enum class AudioSubFormat { Pcm, IeeeFloat, Other };

// The shared-mode format an endpoint mixes in.
struct AudioMixFormat {
  AudioFormatTag tag = AudioFormatTag::Extensible;
  AudioSubFormat subFormat = AudioSubFormat::IeeeFloat;  // for Extensible
  int sampleRate = 48000;
  int channels = 2;
  int bitsPerSample = 32;
  uint32_t channelMask = 0x3;  // speaker positions, bit 0 front left ...; 0 unknown

  int BlockAlign() const { return channels * bitsPerSample / 8; }
  int BytesPerSecond() const { return sampleRate * BlockAlign(); }
};

enum class AudioWait { Signalled, Stopped, Timeout, Failed };

struct AudioPacket {
  const uint8_t* data = nullptr;  // null with Silent unset means a broken packet
  uint32_t frames = 0;
  bool silent = false;  // the data is to be treated as silence
  // When its first frame was recorded (from a playback endpoint: is heard),
  // on NowMicroseconds' clock; -1 when the device does not tell.
  int64_t timeUs = -1;
};

// A shared capture stream; the waits end early once Interrupt is called
// (until Reset).
class AudioCaptureStream {
 public:
  virtual ~AudioCaptureStream() = default;
  virtual Result Start() = 0;
  virtual Result Stop() = 0;
  virtual uint32_t BufferFrames() = 0;
  // timeoutMs < 0 waits without a limit. Signalled resets the event.
  virtual AudioWait Wait(int timeoutMs) = 0;
  virtual void Interrupt() = 0;
  // Frames in the next packet, 0 when none is ready.
  virtual Result NextPacketSize(uint32_t* frames) = 0;
  // Locks the next packet; valid until ReleaseBuffer.
  virtual Result GetBuffer(AudioPacket* packet) = 0;
  virtual Result ReleaseBuffer(uint32_t frames) = 0;
};

// A playback stream that only ever plays silence.
class AudioSilentStream {
 public:
  virtual ~AudioSilentStream() = default;
  virtual Result Start() = 0;
  virtual Result Stop() = 0;
  virtual uint32_t BufferFrames() = 0;
  virtual AudioWait Wait(int timeoutMs) = 0;
  virtual void Interrupt() = 0;
  // Frames queued and not yet played.
  virtual Result CurrentPadding(uint32_t* frames) = 0;
  virtual Result WriteSilence(uint32_t frames) = 0;
};

class AudioEndpointListener {
 public:
  virtual ~AudioEndpointListener() = default;
  // Called on the backend's own thread; must not call back into the layer.
  virtual void OnDefaultDeviceChanged(AudioDirection direction, AudioRole role,
                                      const std::string& id) = 0;
};

class AudioEndpoint {
 public:
  virtual ~AudioEndpoint() = default;
  virtual const std::string& Id() const = 0;
  virtual Result MixFormat(AudioMixFormat* format) = 0;
  // loopback records what a playback endpoint plays. bufferUs is the wanted
  // buffer length.
  virtual Result OpenCapture(const AudioMixFormat& format, bool loopback, int64_t bufferUs,
                             std::unique_ptr<AudioCaptureStream>* stream) = 0;
  virtual Result OpenSilentRender(int64_t bufferUs, std::unique_ptr<AudioSilentStream>* stream) = 0;
};

class AudioEndpoints {
 public:
  virtual ~AudioEndpoints() = default;
  // Active endpoints in the server's order.
  virtual Result List(AudioDirection direction, std::vector<AudioEndpointInfo>* endpoints) = 0;
  virtual Result Default(AudioDirection direction, AudioRole role, AudioEndpointInfo* endpoint) = 0;
  virtual Result Open(AudioDirection direction, const std::string& id,
                      std::unique_ptr<AudioEndpoint>* endpoint) = 0;
  // After Unregister returns no call reaches the listener.
  virtual void Register(AudioEndpointListener* listener) = 0;
  virtual void Unregister(AudioEndpointListener* listener) = 0;
  // Monotonic clocks: microseconds and milliseconds.
  virtual int64_t NowMicroseconds() = 0;
  virtual uint64_t TickCountMs() = 0;
};

AudioEndpoints& GetAudioEndpoints();

}  // namespace platform
