#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "camera/deviceinfods.h"
#include "camera/sinkfilterds.h"

using FrameCallback = std::function<void(const uint8_t* data, uint64_t length,
                                         const VideoCaptureCapability& capability, int64_t timestamp)>;

// Opens one camera and hands every raw sample, with the agreed capability,
// to the frame callback on the camera's streaming thread.
class DsVideoCapturer : public VideoCaptureExternal {
 public:
  DsVideoCapturer();
  ~DsVideoCapturer() override;

  bool Init(const std::string& id, const std::string& name);
  void SetFrameCallback(FrameCallback callback);
  int32_t OnCapturedFrame(const uint8_t* data, uint64_t length, const VideoCaptureCapability& capability,
                          int64_t timestamp) override;
  virtual int32_t Start(const VideoCaptureCapability& capability);
  virtual int32_t Stop();
  virtual bool CaptureStarted();
  virtual int32_t GetCaptureCapability(VideoCaptureCapability& out);

 private:
  DeviceInfoDS m_info;
  platform::CameraDevice m_device;
  bool m_initialised = false;
  std::unique_ptr<CaptureSinkFilter> m_sink;
  std::unique_ptr<platform::CameraStream> m_stream;
  VideoCaptureCapability m_capability;
  std::mutex m_callbackLock;
  FrameCallback m_callback;
};
