#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/backend.h"

namespace platform {

// Pixel layouts a camera can stream in.
enum class CameraPixelFormat { Unknown, I420, NV12, YUY2, UYVY, BGR24, MJPEG, H264 };

struct CameraFormat {
  CameraPixelFormat pixelFormat = CameraPixelFormat::Unknown;
  int width = 0;
  int height = 0;
  bool bottomUp = false;  // rows stored last row first (BGR24 only)
  bool interlaced = false;
  // Frame intervals the camera offers for this size, in 100 ns units; may be
  // empty when it does not say.
  std::vector<int64_t> frameIntervals;
  int64_t averageInterval = 0;  // 100 ns units; 0 when unknown
  // The interval to stream at when opening, 100 ns units; 0 keeps the
  // device's own rate.
  int64_t requestedInterval = 0;
};

struct CameraDevice {
  std::string id;    // stable identifier (on Linux its /dev/v4l/by-id link where
                     // there is one, else its device node)
  std::string name;  // the name people see
  std::string node;  // the device node when the id is another path; "" otherwise
};

// One raw sample, its rows packed tight; the buffer is valid only during
// the call.
using CameraSampleCallback = std::function<void(const uint8_t* data, size_t length)>;

// One buffer a device filled.
struct CameraBuffer {
  const uint8_t* data = nullptr;
  size_t length = 0;
  size_t bytesPerLine = 0;  // between rows of the first plane; 0: packed tight
  bool damaged = false;     // the device says its picture is torn
};

// The sample a stream of this format hands on for a buffer: the buffer itself
// when its rows are packed tight, else its rows packed into scratch. Null for
// a damaged buffer or one too short for its rows.
const uint8_t* CameraSample(const CameraFormat& format, const CameraBuffer& buffer,
                            std::vector<uint8_t>* scratch, size_t* length);

// An opened camera streaming one format. Samples arrive on the stream's own
// thread, which Start creates and Stop joins.
class CameraStream {
 public:
  virtual ~CameraStream() = default;
  virtual Result Start(CameraSampleCallback callback) = 0;
  virtual void Stop() = 0;
};

class Cameras {
 public:
  virtual ~Cameras() = default;
  // In enumeration order.
  virtual std::vector<CameraDevice> List() = 0;
  // Every format and size the device offers, in the device's order.
  virtual Result Formats(const std::string& id, std::vector<CameraFormat>* formats) = 0;
  // Opens the device with one of its formats; null with the reason on failure.
  virtual std::unique_ptr<CameraStream> Open(const std::string& id, const CameraFormat& format,
                                             Result* result) = 0;
};

Cameras& GetCameras();
// Serves the scriptable cameras even with the real backend (no camera in CI).
void UseFakeCameras(bool use);

const char* CameraPixelFormatName(CameraPixelFormat format);

}  // namespace platform
