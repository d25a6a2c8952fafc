#include "camera/dsvideocapturer.h"

#include <glog/logging.h>

DsVideoCapturer::DsVideoCapturer() = default;

DsVideoCapturer::~DsVideoCapturer() { Stop(); }

bool DsVideoCapturer::Init(const std::string& id, const std::string& name) {
  if (!m_info.Init()) {
    LOG(INFO) << "ds info inits failed.";
    return false;
  }
  if (!m_info.FindDevice(id, name, &m_device)) {
    LOG(INFO) << "Failed to create capture filter.device is " << id;
    return false;
  }
  m_sink = std::make_unique<CaptureSinkFilter>(this);
  m_initialised = true;
  LOG(INFO) << "Capture device '" << id << "' initialized.";
  return true;
}

void DsVideoCapturer::SetFrameCallback(FrameCallback callback) {
  std::lock_guard<std::mutex> lock(m_callbackLock);
  m_callback = std::move(callback);
}

int32_t DsVideoCapturer::OnCapturedFrame(const uint8_t* data, uint64_t length,
                                         const VideoCaptureCapability& capability, int64_t timestamp) {
  std::lock_guard<std::mutex> lock(m_callbackLock);
  if (m_callback) m_callback(data, length, capability, timestamp);
  return 0;
}

int32_t DsVideoCapturer::Start(const VideoCaptureCapability& capability) {
  if (!m_initialised || m_stream) {
    LOG(ERROR) << "OUTPUT OR SEND IS NULLPTR";
    LOG(ERROR) << "Set camera failed";
    return -1;
  }
  m_sink->RequestCapability(capability);
  std::vector<platform::CameraFormat> formats;
  const auto listed = platform::GetCameras().Formats(m_device.id, &formats);
  const int index = listed == platform::Result::Ok ? m_sink->Connect(formats) : -1;
  platform::Result result = platform::Result::Failed;
  if (index >= 0) {
    // Stream at the capability's rate, not the driver's default.
    if (capability.maxFPS > 0) formats[index].requestedInterval = 10000000 / capability.maxFPS;
    m_stream = platform::GetCameras().Open(m_device.id, formats[index], &result);
  }
  if (!m_stream) {
    LOG(INFO) << "Failed to connect the Capture graph " << platform::ResultName(result);
    LOG(ERROR) << "Set camera failed";
    return -1;
  }
  m_capability = m_sink->ResultingCapability();
  m_sink->Run();
  result = m_stream->Start([this](const uint8_t* data, size_t length) { m_sink->Receive(data, length); });
  if (result != platform::Result::Ok) {
    LOG(INFO) << "Failed to start the Capture device. " << platform::ResultName(result);
    m_sink->Stop();
    m_stream.reset();
    return -1;
  }
  LOG(INFO) << "Build graph successfully";
  return 0;
}

int32_t DsVideoCapturer::Stop() {
  if (m_sink) m_sink->Stop();
  if (m_stream) {
    m_stream->Stop();
    m_stream.reset();
  }
  SetFrameCallback(nullptr);
  return 0;
}

bool DsVideoCapturer::CaptureStarted() {
  return m_sink && m_stream && m_sink->GetState() == CaptureSinkFilter::State::Running;
}

int32_t DsVideoCapturer::GetCaptureCapability(VideoCaptureCapability& out) {
  out = m_capability;
  return 0;
}
