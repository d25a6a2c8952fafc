#include "recorder/video/libavh264.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include <glog/logging.h>

void LibavH264::SetCommon(int width, int height, int fps, AVPixelFormat format) {
  context->codec_id = AV_CODEC_ID_H264;
  context->codec_type = AVMEDIA_TYPE_VIDEO;
  context->pix_fmt = format;
  context->width = width;
  context->height = height;
  // Frames carry microsecond capture times; the rate goes beside them.
  context->time_base = AVRational{1, 1000000};
  context->framerate = AVRational{fps, 1};
  context->max_b_frames = 0;
  context->has_b_frames = 0;
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
}

void LibavH264::Close() {
  avcodec_free_context(&context);
}

bool TestOpenEncoder(const char* name, AVPixelFormat format, const char* notFound) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (!codec) {
    LOG(ERROR) << notFound;
    return false;
  }
  AVCodecContext* context = avcodec_alloc_context3(codec);
  if (!context) {
    LOG(ERROR) << "alloc context for encoder failed";
    return false;
  }
  context->codec_id = AV_CODEC_ID_H264;
  context->codec_type = AVMEDIA_TYPE_VIDEO;
  context->pix_fmt = format;
  context->width = 1280;
  context->height = 720;
  context->time_base = AVRational{1, 30};
  context->framerate = AVRational{30, 1};
  const int ret = avcodec_open2(context, codec, nullptr);
  avcodec_free_context(&context);
  return ret == 0;
}

const char* AvErrorText(int error, char* text, size_t size) {
  av_strerror(error, text, size);
  return text;
}
