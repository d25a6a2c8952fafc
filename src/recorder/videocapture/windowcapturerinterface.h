#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/backend.h"
#include "recordmode.h"
#include "recorder/recorderror.h"

// What a capture source is given.
struct CaptureParams {
  RecordMode mode = RecordMode::Monitor;
  bool drawCursor = false;
  bool preProcess = false;
  double frameRate = 0.0;
  platform::MonitorId monitor = 0;
  platform::WindowId window = 0;
  platform::Rect region;  // desktop coordinates (region mode)
  int32_t red = 0;
  int32_t green = 0;
  int32_t blue = 0;
  int32_t haloDiameter = 0;
};

// Handed to the pre-processors with each frame.
struct MouseContext {
  int32_t x = 0;  // the pointer's hot spot, from the frame's top-left pixel
  int32_t y = 0;
  int32_t red = 0;
  int32_t green = 0;
  int32_t blue = 0;
  int32_t haloDiameter = 0;
};

class WindowCapturerObserver {
 public:
  virtual void OnDeviceLost() = 0;
};

class PreProcesser {
 public:
  virtual ~PreProcesser() = default;
  // Changes the packed BGRA image (row length width * 4) in place.
  virtual void Process(uint8_t* bgra, int width, int height, MouseContext* context) = 0;
};

// A video source: delivers BGRA frames stamped in microseconds of
// av_gettime_relative() through the frame callback, on its own thread. The
// frame and its data are valid only during the callback.
class WindowCapturerInterface {
 public:
  using FrameCallback = std::function<void(AVFrame*)>;
  using ErrorCallback = std::function<void(RecordError)>;

  WindowCapturerInterface() = default;
  virtual ~WindowCapturerInterface() = default;
  WindowCapturerInterface(const WindowCapturerInterface&) = delete;
  WindowCapturerInterface& operator=(const WindowCapturerInterface&) = delete;

  // Whether this source can capture the monitor (0: the first one).
  virtual bool IsSupported(platform::MonitorId target) = 0;
  virtual bool Init(const CaptureParams& params) = 0;
  // 0 started or already running, -1 not initialised or not started.
  virtual int Start() = 0;
  virtual bool Stop() = 0;
  // One BGRA image of a monitor in a new buffer freed with delete[].
  virtual bool Snapshot(platform::MonitorId target, uint8_t** data, int* width,
                        int* height) = 0;
  virtual void AddObserver(WindowCapturerObserver* observer);
  virtual void AddPreProcesser(std::shared_ptr<PreProcesser> preProcesser);

  void SetCallbacks(FrameCallback frameCallback, ErrorCallback errorCallback);
  AVRational GetTimeBase() const { return m_timeBase; }
  int GetPixelFormat() const { return m_pixelFormat; }
  platform::Rect GetCaptureRect() const { return m_captureRect; }
  void PreProcess(uint8_t* bgra, int width, int height, MouseContext* context);
  // During the frame callback: the parts of the frame that changed since the
  // frame delivered before it (frame coordinates, possibly overlapping);
  // null when all of it may have.
  const std::vector<platform::Rect>* FrameChanges() const {
    return m_changesKnown ? &m_changes : nullptr;
  }

 protected:
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_initialised{false};
  std::thread m_captureThread;
  FrameCallback m_frameCallback;
  ErrorCallback m_errorCallback;
  AVRational m_timeBase{1, 1000000};
  int m_pixelFormat = -1;
  platform::Rect m_captureRect;
  CaptureParams m_params;
  std::vector<WindowCapturerObserver*> m_observers;
  std::vector<std::shared_ptr<PreProcesser>> m_preProcessers;
  std::vector<platform::Rect> m_changes;
  bool m_changesKnown = false;
};

// A premultiplied ARGB pointer pixel over an opaque BGRA frame pixel.
uint32_t BlendPremultiplied(uint32_t src, uint32_t dst);

// Points the frame at a packed BGRA picture of this size and says so; its
// time stamps and picture type are the caller's.
void SetBgraPicture(AVFrame* frame, const uint8_t* data, int width, int height);

// 0 desktop duplication, 1 the capture library, 2 GDI-style screen copy;
// null for other types. The caller owns the result.
WindowCapturerInterface* CreateCapturer(int type);
// The source for monitor and region recordings: duplication, then the
// library, then screen copy; null when none is available.
WindowCapturerInterface* CreateMonitorCapturer(platform::MonitorId monitor);
// The source for window recordings: the library for a window of ours to
// record; with none (0), the duplication of the window that the desktop's
// own dialog picks as the capture opens.
WindowCapturerInterface* CreateWindowCapturer(platform::WindowId window);
