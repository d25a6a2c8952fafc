#pragma once

extern "C" {
#include <libavutil/dict.h>
}

#include "recorder/video/libavh264.h"
#include "recorder/video/videoencoderinterface.h"

// What the three H.264 encoders share: the libavcodec codec each opens, its
// extradata, closing it and the encode loop. Each encoder finds its codec,
// sets up its context and says what it logs.
class LibavH264Encoder : public VideoEncoderInterface {
 public:
  ~LibavH264Encoder() override;

  int GetExtradataSize() override { return m_codec.ExtradataSize(); }
  const uint8_t* GetExtradata() override { return m_codec.Extradata(); }
  void Close() override;
  void EncodeLoop() override;

 protected:
  // What a failed send and receive log; no send message logs nothing.
  LibavH264Encoder(const char* sendError, const char* receiveError)
      : m_sendError(sendError), m_receiveError(receiveError) {}

  // An encoder's SetUpContext.
  using SetUp = void (*)(AVCodecContext* context, int width, int height, int fps, int qp,
                         int keyFrameSeconds, AVDictionary** options);
  // With m_codec.codec found: opens it set up by setUp and logs ready; a
  // failing step is logged, the codec closed again and its code returned.
  int OpenFoundCodec(SetUp setUp, int width, int height, int fps, int qp, int keyFrameSeconds,
                     const OpenFailures& failures, const char* ready);
  int Encode(AVFrame* frame, AVPacket* packet);

  LibavH264 m_codec;

 private:
  const char* m_sendError;
  const char* m_receiveError;
};
