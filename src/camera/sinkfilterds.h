#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "camera/videodevices.h"
#include "platform/cameras.h"

class VideoCaptureExternal {
 public:
  virtual ~VideoCaptureExternal() = default;
  virtual int32_t OnCapturedFrame(const uint8_t* data, uint64_t length,
                                  const VideoCaptureCapability& capability, int64_t timestamp) = 0;
};

// The receiving end of a camera stream: agrees on a format of the requested
// size and type (any type when none is requested) and hands every sample to
// its owner while running.
class CaptureSinkFilter {
 public:
  enum class State { Stopped, Paused, Running };

  explicit CaptureSinkFilter(VideoCaptureExternal* owner) : m_owner(owner) {}

  void RequestCapability(const VideoCaptureCapability& capability);
  // Whether the sink takes this camera format; fills the resulting capability.
  bool CheckMediaType(const platform::CameraFormat& format, VideoCaptureCapability* resulting) const;
  // The first of the camera's formats, in its own order, that the sink takes;
  // -1 when none. The resulting capability is kept for the samples.
  int Connect(const std::vector<platform::CameraFormat>& formats);
  VideoCaptureCapability ResultingCapability() const;

  void Run();
  void Pause();
  void Stop();
  State GetState() const;

  // Called on the streaming thread for every sample.
  void Receive(const uint8_t* data, size_t length);

 private:
  VideoCaptureExternal* m_owner;
  mutable std::mutex m_receiveLock;
  mutable std::mutex m_filterLock;
  State m_state = State::Stopped;
  VideoCaptureCapability m_requested;
  VideoCaptureCapability m_resulting;
};
