#include "platform/cameras.h"

#include <glog/logging.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/fake/fake_cameras.h"

namespace platform {
namespace native {
Cameras& CamerasInstance();
}

namespace {
std::atomic<bool> g_fakeCameras{false};

struct Plane {
  size_t row;     // bytes a row holds
  size_t rows;
  size_t stride;  // bytes from one row to the next in the buffer
};

// The planes of a raw layout whose first plane's rows are stride bytes
// apart; none for compressed layouts.
std::vector<Plane> Planes(CameraPixelFormat format, size_t w, size_t h, size_t stride) {
  const size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
  switch (format) {
    case CameraPixelFormat::I420: return {{w, h, stride}, {cw, ch, stride / 2}, {cw, ch, stride / 2}};
    case CameraPixelFormat::NV12: return {{w, h, stride}, {cw * 2, ch, stride}};
    case CameraPixelFormat::YUY2:
    case CameraPixelFormat::UYVY: return {{cw * 4, h, stride}};
    case CameraPixelFormat::BGR24: return {{w * 3, h, stride}};
    default: return {};
  }
}
}  // namespace

const uint8_t* CameraSample(const CameraFormat& format, const CameraBuffer& buffer,
                            std::vector<uint8_t>* scratch, size_t* length) {
  if (buffer.damaged) {
    LOG_EVERY_N(WARNING, 100) << "camera buffer marked damaged, skipped (" << google::COUNTER << " so far)";
    return nullptr;
  }
  const size_t w = size_t(format.width), h = size_t(std::abs(format.height));
  auto planes = Planes(format.pixelFormat, w, h, buffer.bytesPerLine);
  if (planes.empty() || h == 0 || buffer.bytesPerLine <= planes[0].row) {
    *length = buffer.length;
    return buffer.data;
  }
  size_t need = 0, packed = 0;
  for (size_t i = 0; i < planes.size(); ++i) {
    auto& p = planes[i];
    p.stride = std::max(p.stride, p.row);
    need += i + 1 < planes.size() ? p.stride * p.rows : p.stride * (p.rows - 1) + p.row;
    packed += p.row * p.rows;
  }
  if (buffer.length < need) {
    LOG_EVERY_N(ERROR, 100) << "camera sample of " << buffer.length << " bytes is short of " << need
                            << " for rows of " << buffer.bytesPerLine << " bytes, skipped";
    return nullptr;
  }
  scratch->resize(packed);
  const uint8_t* src = buffer.data;
  uint8_t* dst = scratch->data();
  for (const auto& p : planes) {
    for (size_t r = 0; r < p.rows; ++r) memcpy(dst + r * p.row, src + r * p.stride, p.row);
    src += p.stride * p.rows;
    dst += p.row * p.rows;
  }
  *length = packed;
  return scratch->data();
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
