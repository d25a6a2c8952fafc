#pragma once

#include <map>
#include <mutex>

#include "platform/cameras.h"

namespace platform::fake {

// A scripted camera: its formats, and the samples it streams for each format
// index (played in a loop, one every frame period).
struct FakeCamera {
  CameraDevice device;
  std::vector<CameraFormat> formats;
  std::map<size_t, std::vector<std::vector<uint8_t>>> samples;
  size_t loopFrom = 0;  // samples before this one come only once, at each start
  Result formatsResult = Result::Ok;
  Result openResult = Result::Ok;
  Result startResult = Result::Ok;
};

// Scriptable cameras: none by default.
class FakeCameras : public Cameras {
 public:
  static FakeCameras& Instance();

  std::vector<CameraDevice> List() override;
  Result Formats(const std::string& id, std::vector<CameraFormat>* formats) override;
  std::unique_ptr<CameraStream> Open(const std::string& id, const CameraFormat& format,
                                     Result* result) override;

  void SetCameras(std::vector<FakeCamera> cameras);
  // Milliseconds between two samples of a fake stream (default 5).
  void SetFramePeriodMs(int ms);
  // The device format the last Open took (with the requested interval it was
  // given), and how many streams are running.
  CameraFormat LastOpenedFormat();
  int RunningStreams();
  // Streams started since the last Reset.
  int StartedStreams();
  void Reset();

 private:
  friend class FakeCameraStream;
  FakeCameras() { Reset(); }
  std::mutex m_mutex;
  std::vector<FakeCamera> m_cameras;
  int m_periodMs = 5;
  CameraFormat m_lastOpened;
  int m_running = 0;
  int m_started = 0;
};

}  // namespace platform::fake
