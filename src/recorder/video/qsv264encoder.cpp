#include "recorder/video/qsv264encoder.h"

#include <glog/logging.h>

#include <algorithm>

bool Qsv264Encoder::IsSupported() {
  return TestOpenEncoder("h264_qsv", AV_PIX_FMT_NV12, "can't find h264 qsv");
}

int Qsv264Encoder::GetPixelFormat() { return AV_PIX_FMT_NV12; }

void Qsv264Encoder::SetUpContext(AVCodecContext* context, int width, int height, int fps,
                                 int qp, int keyFrameSeconds, AVDictionary** options) {
  LibavH264 codec;
  codec.context = context;
  codec.SetCommon(width, height, fps, AV_PIX_FMT_NV12);
  context->gop_size = keyFrameSeconds != 0 ? keyFrameSeconds * fps : 2500;
  context->qmin = qp > 8 ? qp - 8 : 0;
  context->qmax = std::min(context->qmin + 15, 51);
  context->flags &= ~AV_CODEC_FLAG_CLOSED_GOP;
  // Constant QP: the codec reads it from global_quality in lambda units.
  // Without it the codec falls back to its default bit rate.
  context->flags |= AV_CODEC_FLAG_QSCALE;
  context->global_quality = qp * FF_QP2LAMBDA;
  context->bit_rate = 0;
  av_dict_set(options, "idr_interval", "0", 0);
  av_dict_set(options, "async_depth", "1", 0);
  av_dict_set(options, "forced_idr", "1", 0);
}

int Qsv264Encoder::Init(int width, int height, int fps, int /*reserved*/, int qp,
                        int keyFrameSeconds) {
  if (m_initialised) return 0;
  m_codec.codec = avcodec_find_encoder_by_name("h264_qsv");
  if (!m_codec.codec) {
    LOG(ERROR) << "can't find h264 qsv";
    return kRecordEncoderNotFound;
  }
  return OpenFoundCodec(&SetUpContext, width, height, fps, qp, keyFrameSeconds,
                        {"alloc context3 failed", kRecordOutputFailed, "avcodec open failed",
                         false, kRecordEncoderOpenFailed, kRecordFailed},
                        "qsv264 inits successfully");
}
