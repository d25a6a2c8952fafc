#include "recorder/video/x264encoder.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <glog/logging.h>

#include <string>

namespace {
constexpr int kX264Threads = 2;
// Debian's FFmpeg has no libopenh264: libx264 stands in for it.
const AVCodec* FindSoftwareEncoder() {
  const AVCodec* codec = avcodec_find_encoder_by_name("libopenh264");
  return codec ? codec : avcodec_find_encoder_by_name("libx264");
}
}  // namespace

bool X264Encoder::IsSupported() { return true; }

int X264Encoder::GetPixelFormat() { return AV_PIX_FMT_YUV420P; }

void X264Encoder::SetUpContext(AVCodecContext* context, int width, int height, int fps, int qp,
                               int keyFrameSeconds, AVDictionary** options) {
  LibavH264 codec;
  codec.context = context;
  codec.SetCommon(width, height, fps, AV_PIX_FMT_YUV420P);
  context->gop_size = keyFrameSeconds != 0 ? keyFrameSeconds * fps : 2500;
  context->qmin = qp;
  context->qmax = qp;
  context->bit_rate = 0;
  av_dict_set(options, "tune", "zerolatency", 0);
  if (context->codec && std::string(context->codec->name) == "libx264") {
    // The fastest preset with CABAC back on keeps files within about a tenth
    // of veryfast's size at the same quantiser for a third to a half of its
    // CPU. Frame threads, not the slices of the zerolatency tune: slices
    // cost more and a 1080p picture takes a few milliseconds.
    av_dict_set(options, "preset", "ultrafast", 0);
    av_dict_set(options, "x264-params", "cabac=1:sliced-threads=0", 0);
    context->thread_count = kX264Threads;
    context->thread_type = FF_THREAD_FRAME;
    av_dict_set(options, "forced-idr", "1", 0);
    // qmin = qmax asks for one quantiser: say so, so that the codec does not
    // also run its rate-factor analysis (adaptive quantisation) for nothing.
    av_dict_set_int(options, "qp", qp, 0);
  }
}

int X264Encoder::Init(int width, int height, int fps, int /*reserved*/, int qp,
                      int keyFrameSeconds) {
  if (m_initialised) return 0;
  LOG(INFO) << "The framerate is " << fps;
  m_codec.codec = FindSoftwareEncoder();
  if (!m_codec.codec) {
    LOG(ERROR) << "x264 not found";
    return kRecordEncoderNotFound;
  }
  return OpenFoundCodec(&SetUpContext, width, height, fps, qp, keyFrameSeconds,
                        {"alloc context3 failed", kRecordOutputFailed, "avcodec open failed",
                         false, kRecordEncoderOpenFailed, kRecordFailed},
                        "h264 inits successfully");
}
