#include "platform/cameras.h"

#include <atomic>

#include "platform/fake/fake_cameras.h"

namespace platform {
namespace native {
Cameras& CamerasInstance();
}

namespace {
std::atomic<bool> g_fakeCameras{false};
}

void UseFakeCameras(bool use) { g_fakeCameras = use; }

Cameras& GetCameras() {
  if (Backend::IsFake() || g_fakeCameras) return fake::FakeCameras::Instance();
  return native::CamerasInstance();
}

const char* CameraPixelFormatName(CameraPixelFormat format) {
  switch (format) {
    case CameraPixelFormat::I420: return "I420";
    case CameraPixelFormat::NV12: return "NV12";
    case CameraPixelFormat::YUY2: return "YUY2";
    case CameraPixelFormat::UYVY: return "UYVY";
    case CameraPixelFormat::BGR24: return "BGR24";
    case CameraPixelFormat::MJPEG: return "MJPEG";
    case CameraPixelFormat::H264: return "H264";
    case CameraPixelFormat::Unknown: break;
  }
  return "unknown";
}

}  // namespace platform
