#include "recorder/video/libavh264encoder.h"

#include <glog/logging.h>

LibavH264Encoder::~LibavH264Encoder() {
  Stop();
  Close();
}

int LibavH264Encoder::OpenFoundCodec(SetUp setUp, int width, int height, int fps, int qp,
                                     int keyFrameSeconds, const OpenFailures& failures,
                                     const char* ready) {
  const auto setUpContext = [&](AVCodecContext* context, AVDictionary** options) {
    setUp(context, width, height, fps, qp, keyFrameSeconds, options);
  };
  const int ret = OpenCodec(&m_codec, width, height, setUpContext, failures);
  if (ret != 0) {
    Close();
    return ret;
  }
  m_initialised = true;
  LOG(INFO) << ready;
  return 0;
}

void LibavH264Encoder::Close() {
  m_initialised = false;
  m_codec.Close();
}

void LibavH264Encoder::EncodeLoop() {
  RunEncodeLoop([this](AVFrame* f, AVPacket* p) { return Encode(f, p); });
}

int LibavH264Encoder::Encode(AVFrame* frame, AVPacket* packet) {
  return EncodeWith(m_codec.context, frame, packet, m_sendError, m_receiveError);
}
