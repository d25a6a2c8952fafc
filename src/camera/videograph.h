#pragma once

#include <QWidget>

#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

#include "camera/videodevices.h"
#include "camera/videorender.h"

struct VideoGraphParams {
  QWidget* window = nullptr;
  VideoCaptureCapability capability;
};

// Draws the previewer's frames into one window.
class VideoGraph {
 public:
  bool SetParams(const VideoGraphParams& params);
  bool ProcessFrame(const AVFrame* frame);
  const VideoGraphParams& Params() const { return m_params; }
  VideoRender* Renderer() { return m_renderer.get(); }

 private:
  VideoGraphParams m_params;
  std::unique_ptr<VideoRender> m_renderer;
};

int VideoTypeToPixelFormat(int type);
int VideoTypeToFourcc(int type);
int PixelFormatToFourcc(int format);
// A new I420 frame with the picture of a semi-planar or 4:2:2 frame, or null.
AVFrame* ConvertFrameToI420(const AVFrame* frame);
