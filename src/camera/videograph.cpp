#include "camera/videograph.h"

#include <glog/logging.h>
#include <libyuv.h>

#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
}

int VideoTypeToPixelFormat(int type) {
  switch (type) {
    case kVideoI420: return AV_PIX_FMT_YUV420P;
    case kVideoMJPEG: return AV_PIX_FMT_YUVJ422P;
    case kVideoNV12: return AV_PIX_FMT_NV12;
    default: return -1;
  }
}

int VideoTypeToFourcc(int type) {
  switch (type) {
    case kVideoI420: return libyuv::FOURCC_I420;
    case kVideoRGB24: return libyuv::FOURCC_24BG;
    case kVideoYUY2: return libyuv::FOURCC_YUY2;
    case kVideoUYVY: return libyuv::FOURCC_UYVY;
    case kVideoMJPEG: return libyuv::FOURCC_MJPG;
    case kVideoNV12: return libyuv::FOURCC_NV12;
    default: return -1;
  }
}

int PixelFormatToFourcc(int format) {
  switch (format) {
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P: return libyuv::FOURCC_I422;
    case AV_PIX_FMT_NV12: return libyuv::FOURCC_NV12;
    default: return -1;
  }
}

AVFrame* ConvertFrameToI420(const AVFrame* frame) {
  const int fourcc = PixelFormatToFourcc(frame->format);
  if (fourcc < 0) return nullptr;
  const int size = av_image_get_buffer_size(AVPixelFormat(frame->format), frame->width, frame->height, 1);
  if (size <= 0) return nullptr;
  std::vector<uint8_t> packed(size);
  if (av_image_copy_to_buffer(packed.data(), size, frame->data, frame->linesize, AVPixelFormat(frame->format),
                              frame->width, frame->height, 1) < 0)
    return nullptr;
  AVFrame* out = av_frame_alloc();
  out->width = frame->width;
  out->height = frame->height;
  out->format = AV_PIX_FMT_YUV420P;
  if (av_frame_get_buffer(out, 0) < 0) {
    av_frame_free(&out);
    return nullptr;
  }
  const int r = libyuv::ConvertToI420(packed.data(), size, out->data[0], out->linesize[0], out->data[1],
                                      out->linesize[1], out->data[2], out->linesize[2], 0, 0, frame->width,
                                      frame->height, frame->width, frame->height, libyuv::kRotate0, fourcc);
  if (r != 0) {
    LOG(ERROR) << "Convert format failed";
    av_frame_free(&out);
  }
  return out;
}

bool VideoGraph::SetParams(const VideoGraphParams& params) {
  if (params.capability.width == 0 || params.capability.height == 0) {
    LOG(ERROR) << "params is invalid";
    return false;
  }
  m_params = params;
  m_renderer = std::make_unique<VideoRender>(params.window);
  return true;
}

bool VideoGraph::ProcessFrame(const AVFrame* frame) {
  if (!frame) return false;
  AVFrame* converted = nullptr;
  if (frame->hw_frames_ctx) {
    AVFrame* sw = av_frame_alloc();
    if (av_hwframe_transfer_data(sw, frame, 0) == 0) converted = ConvertFrameToI420(sw);
    av_frame_free(&sw);
    if (!converted) return false;
    frame = converted;
  }
  bool ok = false;
  // A bottom-up stream has a negative height; its frames are upright.
  if (frame->width == m_params.capability.width && frame->height == std::abs(m_params.capability.height)) {
    m_renderer->Render(frame);
    ok = true;
  } else {
    LOG(ERROR) << "The frame's size isn't same with original camera's size";
  }
  av_frame_free(&converted);
  return ok;
}
