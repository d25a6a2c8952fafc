#include "recorder/video/qsv264encoder.h"

#include <glog/logging.h>

#include <algorithm>

Qsv264Encoder::~Qsv264Encoder() {
  Stop();
  Close();
}

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
  const auto setUp = [&](AVCodecContext* context, AVDictionary** options) {
    SetUpContext(context, width, height, fps, qp, keyFrameSeconds, options);
  };
  const int ret = OpenCodec(&m_codec, width, height, setUp,
                            {"alloc context3 failed", kRecordOutputFailed, "avcodec open failed",
                             false, kRecordEncoderOpenFailed, kRecordFailed});
  if (ret != 0) {
    Close();
    return ret;
  }
  m_initialised = true;
  LOG(INFO) << "qsv264 inits successfully";
  return 0;
}

void Qsv264Encoder::Close() {
  m_initialised = false;
  m_codec.Close();
}

void Qsv264Encoder::EncodeLoop() {
  RunEncodeLoop([this](AVFrame* f, AVPacket* p) { return Encode(f, p); });
}

int Qsv264Encoder::Encode(AVFrame* frame, AVPacket* packet) {
  return EncodeWith(m_codec.context, frame, packet, nullptr, "ret is smaller than 0");
}
