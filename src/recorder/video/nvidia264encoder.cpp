#include "recorder/video/nvidia264encoder.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <glog/logging.h>

bool Nvidia264Encoder::IsSupported() {
  return TestOpenEncoder("h264_nvenc", AV_PIX_FMT_YUV420P, "can't find nvenc");
}

int Nvidia264Encoder::GetPixelFormat() { return AV_PIX_FMT_YUV420P; }

void Nvidia264Encoder::SetUpContext(AVCodecContext* context, int width, int height, int fps,
                                    int qp, int /*keyFrameSeconds*/, AVDictionary** /*options*/) {
  LibavH264 codec;
  codec.context = context;
  codec.SetCommon(width, height, fps, AV_PIX_FMT_YUV420P);
  context->gop_size = 2500;
  if (context->priv_data) {
    av_opt_set(context->priv_data, "profile", "baseline", 0);
    av_opt_set(context->priv_data, "level", "auto", 0);
    av_opt_set_int(context->priv_data, "2pass", 0, 0);
    av_opt_set_int(context->priv_data, "gpu", 0, 0);
    av_opt_set(context->priv_data, "cbr", "0", 0);
    av_opt_set(context->priv_data, "rc", "constqp", 0);
    av_opt_set(context->priv_data, "forced-idr", "1", 0);
  }
  context->global_quality = qp;
  context->bit_rate = 0;
}

int Nvidia264Encoder::Init(int width, int height, int fps, int /*reserved*/, int qp,
                           int keyFrameSeconds) {
  if (m_initialised) {
    LOG(ERROR) << "nvidia264 encoder has initied";
    return 0;
  }
  m_codec.codec = avcodec_find_encoder_by_name("h264_nvenc");
  if (!m_codec.codec) m_codec.codec = avcodec_find_encoder_by_name("nvenc_h264");
  if (!m_codec.codec) {
    LOG(ERROR) << "no nvenc 264 found";
    return kRecordFailed;
  }
  return OpenFoundCodec(&SetUpContext, width, height, fps, qp, keyFrameSeconds,
                        {"avcodec alloc context3 failed", kRecordFailed,
                         "open encoder failed,reason:", true, kRecordFailed, kRecordFailed},
                        "Nvidia264 inits successfully");
}
