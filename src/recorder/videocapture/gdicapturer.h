#pragma once

#include <cstdint>
#include <memory>

#include "platform/screen_copy.h"
#include "recorder/videocapture/windowcapturerinterface.h"

// Fallback source for monitor and region recordings, and the source of the
// monitor picker's still images: copies the screen area once a period on its
// own thread, draws the pointer and runs the pre-processors.
class GdiCapturer : public WindowCapturerInterface {
 public:
  GdiCapturer() = default;
  ~GdiCapturer() override;

  bool IsSupported(platform::MonitorId target) override;
  bool Init(const CaptureParams& params) override;
  int Start() override;
  bool Stop() override;
  bool Snapshot(platform::MonitorId target, uint8_t** data, int* width, int* height) override;
  virtual void Uninit();

 private:
  void CaptureLoop();
  // 0 success, -1 failure.
  int CaptureFrame();
  void DrawCursor();
  // Sleeps until the next frame's deadline, which it moves on.
  void WaitNextFrame(int64_t interval, int64_t* deadline);

  std::unique_ptr<uint8_t[]> m_frameBuffer;
  uint32_t m_bufferSize = 0;
  int m_frameWidth = 0;
  int m_frameHeight = 0;
  double m_frameRate = 0.0;
  platform::CursorImage m_cursorInfo;
  MouseContext m_mouseContext;
  std::unique_ptr<platform::ScreenCopy> m_screen;  // the capture thread's
};
