#include "recorder/videocapture/gdicapturer.h"

extern "C" {
#include <libavutil/time.h>
}

#include <glog/logging.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/monitors.h"
#include "platform/thread_name.h"

using platform::Result;

namespace {

bool Inside(const platform::Rect& r, int x, int y) {
  return x >= r.left && x <= r.right && y >= r.top && y <= r.bottom;
}

}  // namespace

GdiCapturer::~GdiCapturer() {
  Stop();
  Uninit();
}

bool GdiCapturer::IsSupported(platform::MonitorId) { return true; }

bool GdiCapturer::Init(const CaptureParams& params) {
  LOG(INFO) << "Gdicapturer inits";
  if (m_initialised) return false;
  if (!(params.frameRate > 0.0)) {
    LOG(ERROR) << "invalid frame rate " << params.frameRate;
    return false;
  }
  m_params = params;
  m_mouseContext.red = params.red;
  m_mouseContext.green = params.green;
  m_mouseContext.blue = params.blue;
  m_frameRate = params.frameRate;
  platform::MonitorInfo info;
  if (params.mode == RecordMode::Region) {
    m_captureRect = params.region;
  } else if (platform::FindMonitor(params.monitor, &info)) {
    m_captureRect = info.rect;
  } else {
    LOG(ERROR) << "get monitor info failed:" << params.monitor;
    return false;
  }
  if (m_captureRect.IsEmpty()) {
    LOG(ERROR) << "empty capture rectangle";
    return false;
  }
  m_frameWidth = m_captureRect.Width();
  m_frameHeight = m_captureRect.Height();
  m_bufferSize = uint32_t(m_frameWidth) * uint32_t(m_frameHeight) * 4;
  m_frameBuffer.reset(new uint8_t[m_bufferSize]());
  m_timeBase = AVRational{1, 1000000};
  m_pixelFormat = AV_PIX_FMT_BGRA;
  m_initialised = true;
  LOG(INFO) << "Gdicapturer inits end";
  return true;
}

int GdiCapturer::Start() {
  if (m_running) {
    LOG(INFO) << "record desktop gdi is already running";
    return 0;
  }
  if (!m_initialised) return -1;
  // A thread that ended on a failure is collected before the next one.
  if (m_captureThread.joinable()) m_captureThread.join();
  m_running = true;
  m_captureThread = std::thread([this] { CaptureLoop(); });
  LOG(INFO) << "Gdi capturer starts";
  return 0;
}

bool GdiCapturer::Stop() {
  m_running = false;
  if (m_captureThread.joinable()) m_captureThread.join();
  return true;
}

void GdiCapturer::Uninit() {
  // The capture thread writes into the buffer.
  Stop();
  m_initialised = false;
  m_frameBuffer.reset();
  m_bufferSize = 0;
}

bool GdiCapturer::Snapshot(platform::MonitorId monitor, uint8_t** data, int* width,
                           int* height) {
  if (!monitor) {
    LOG(ERROR) << "the monitor is nullptr";
    return false;
  }
  platform::MonitorInfo info;
  if (!platform::FindMonitor(monitor, &info)) {
    LOG(ERROR) << "get monitor info failed";
    return false;
  }
  const platform::Rect rect = info.rect;
  std::unique_ptr<platform::ScreenCopy> screen;
  const Result opened = platform::OpenScreenCopy(&screen);
  if (opened != Result::Ok) {
    LOG(ERROR) << "create compatible dc failed:" << platform::ResultName(opened);
    return false;
  }
  *width = rect.Width();
  *height = rect.Height();
  LOG(INFO) << "WIDTH IS " << *width << " HEIGHT IS " << *height;
  LOG(INFO) << "LEFT IS " << rect.left << ",TOP IS " << rect.top << ",RIGHT IS " << rect.right
            << ",BOTTOM IS " << rect.bottom;
  std::unique_ptr<uint8_t[]> image(new uint8_t[size_t(*width) * *height * 4]);
  const Result r = screen->CopyRect(rect, image.get());
  if (r == Result::Unsupported) {
    LOG(ERROR) << "get dibits failed:" << platform::ResultName(r);
    return false;
  }
  if (r != Result::Ok) {
    LOG(ERROR) << "bitblt data failed:" << platform::ResultName(r);
    return false;
  }
  *data = image.release();
  return true;
}

void GdiCapturer::WaitNextFrame(int64_t interval, int64_t* deadline) {
  // Each frame is due one interval after the one before; a capture that fell
  // more than a frame behind starts the grid again rather than catching up.
  *deadline += interval;
  const int64_t now = av_gettime_relative();
  if (*deadline > now)
    av_usleep(unsigned(*deadline - now));
  else if (now - *deadline > interval)
    *deadline = now;
}

void GdiCapturer::CaptureLoop() {
  platform::SetCurrentThreadName("capture");
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                     [](AVFrame* f) { av_frame_free(&f); });
  const int64_t interval = int64_t(1000000 / m_frameRate);
  int64_t deadline = av_gettime_relative();
  int result = frame ? 0 : -1;
  while (m_running && result == 0) {
    result = CaptureFrame();
    if (result != 0) break;
    AVFrame* f = frame.get();
    f->pts = f->pkt_dts = av_gettime_relative();
    f->pict_type = AV_PICTURE_TYPE_I;
    SetBgraPicture(f, m_frameBuffer.get(), m_frameWidth, m_frameHeight);
    if (m_frameCallback) m_frameCallback(f);
    WaitNextFrame(interval, &deadline);
  }
  m_screen.reset();
  if (result != 0) {
    // Nothing more comes from this thread; Start may run a new one.
    m_running = false;
    if (m_errorCallback) m_errorCallback(RecordError(result));
  }
}

int GdiCapturer::CaptureFrame() {
  if (!m_screen) {
    const Result opened = platform::OpenScreenCopy(&m_screen);
    if (opened != Result::Ok) {
      LOG(ERROR) << "get window dc failed:" << platform::ResultName(opened);
      return -1;
    }
  }
  const Result copied = m_screen->CopyRect(m_captureRect, m_frameBuffer.get());
  if (copied == Result::Unsupported) {
    LOG(ERROR) << "get dibits failed:" << platform::ResultName(copied);
    return -1;
  }
  if (copied != Result::Ok) {
    // The previous image goes out once more.
    LOG(ERROR) << "bitblt data failed:" << platform::ResultName(copied);
    return 0;
  }
  m_cursorInfo = platform::CursorImage{};
  if (m_params.drawCursor && m_screen->GetCursor(&m_cursorInfo) == Result::Ok) DrawCursor();
  if (m_params.drawCursor && m_params.preProcess && m_cursorInfo.showing &&
      Inside(m_captureRect, m_cursorInfo.x, m_cursorInfo.y)) {
    m_mouseContext.x = std::abs(m_cursorInfo.x - m_captureRect.left);
    m_mouseContext.y = std::abs(m_cursorInfo.y - m_captureRect.top);
    m_mouseContext.haloDiameter = m_params.haloDiameter;
    PreProcess(m_frameBuffer.get(), m_frameWidth, m_frameHeight, &m_mouseContext);
  }
  return 0;
}

void GdiCapturer::DrawCursor() {
  const auto& c = m_cursorInfo;
  if (!c.showing || !Inside(m_captureRect, c.x, c.y)) return;
  // The image's hot spot goes on the pointer position; clipped to the frame.
  const int originX = c.x - m_captureRect.left - c.hotX;
  const int originY = c.y - m_captureRect.top - c.hotY;
  auto* frame = reinterpret_cast<uint32_t*>(m_frameBuffer.get());
  for (int j = 0; j < c.height; ++j) {
    const int y = originY + j;
    if (y < 0 || y >= m_frameHeight) continue;
    for (int i = 0; i < c.width; ++i) {
      const int x = originX + i;
      if (x < 0 || x >= m_frameWidth) continue;
      uint32_t& pixel = frame[size_t(y) * m_frameWidth + x];
      pixel = BlendPremultiplied(c.pixels[size_t(j) * c.width + i], pixel);
    }
  }
}
