#include "camera/sinkfilterds.h"

#include <glog/logging.h>

#include <cstdlib>

void CaptureSinkFilter::RequestCapability(const VideoCaptureCapability& capability) {
  std::lock_guard<std::mutex> r(m_receiveLock);
  std::lock_guard<std::mutex> f(m_filterLock);
  m_requested = capability;
  m_resulting = VideoCaptureCapability{};
}

bool CaptureSinkFilter::CheckMediaType(const platform::CameraFormat& format,
                                       VideoCaptureCapability* resulting) const {
  using F = platform::CameraPixelFormat;
  if (format.width != m_requested.width || format.height != std::abs(m_requested.height)) return false;
  VideoCaptureCapability cap;
  cap.width = format.width;
  cap.height = format.height;
  switch (format.pixelFormat) {
    case F::H264: cap.videoType = kVideoH264; break;
    case F::MJPEG: cap.videoType = kVideoMJPEG; break;
    case F::I420: cap.videoType = kVideoI420; break;
    case F::UYVY: cap.videoType = kVideoUYVY; break;
    case F::NV12: cap.videoType = kVideoNV12; break;
    case F::BGR24:
      cap.videoType = kVideoRGB24;
      if (format.bottomUp) cap.height = -format.height;
      break;
    default: return false;  // YUY2 is never taken
  }
  // The chosen type, not whatever the camera lists first at this size.
  if (m_requested.videoType != kVideoUnknown && cap.videoType != m_requested.videoType) return false;
  cap.interlaced = format.interlaced;
  *resulting = cap;
  return true;
}

int CaptureSinkFilter::Connect(const std::vector<platform::CameraFormat>& formats) {
  std::lock_guard<std::mutex> r(m_receiveLock);
  std::lock_guard<std::mutex> f(m_filterLock);
  for (size_t i = 0; i < formats.size(); ++i) {
    VideoCaptureCapability cap;
    if (CheckMediaType(formats[i], &cap)) {
      m_resulting = cap;
      return int(i);
    }
  }
  return -1;
}

VideoCaptureCapability CaptureSinkFilter::ResultingCapability() const {
  std::lock_guard<std::mutex> f(m_filterLock);
  return m_resulting;
}

void CaptureSinkFilter::Run() {
  std::lock_guard<std::mutex> r(m_receiveLock);
  std::lock_guard<std::mutex> f(m_filterLock);
  m_state = State::Running;
}

void CaptureSinkFilter::Pause() {
  std::lock_guard<std::mutex> r(m_receiveLock);
  std::lock_guard<std::mutex> f(m_filterLock);
  m_state = State::Paused;
}

void CaptureSinkFilter::Stop() {
  std::lock_guard<std::mutex> r(m_receiveLock);
  std::lock_guard<std::mutex> f(m_filterLock);
  m_state = State::Stopped;
}

CaptureSinkFilter::State CaptureSinkFilter::GetState() const {
  std::lock_guard<std::mutex> f(m_filterLock);
  return m_state;
}

void CaptureSinkFilter::Receive(const uint8_t* data, size_t length) {
  if (!data) return;
  std::lock_guard<std::mutex> r(m_receiveLock);
  // Samples that arrive while not running are dropped.
  if (m_state != State::Running || !m_owner) return;
  m_owner->OnCapturedFrame(data, length, m_resulting, 0);
}
