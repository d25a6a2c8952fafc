#pragma once

extern "C" {
#include <libavutil/dict.h>
}

#include "recorder/video/libavh264.h"
#include "recorder/video/videoencoderinterface.h"

class X264Encoder : public VideoEncoderInterface {
 public:
  X264Encoder() = default;
  ~X264Encoder() override;

  bool IsSupported() override;
  int Init(int width, int height, int fps, int reserved, int qp, int keyFrameSeconds) override;
  int GetPixelFormat() override;
  int GetExtradataSize() override { return m_codec.ExtradataSize(); }
  const uint8_t* GetExtradata() override { return m_codec.Extradata(); }
  void Close() override;
  void EncodeLoop() override;

  // Fills a context of this encoder's codec as Init does and gives the
  // options Init opens it with (the caller frees them).
  static void SetUpContext(AVCodecContext* context, int width, int height, int fps, int qp,
                           int keyFrameSeconds, AVDictionary** options);

 protected:
  int Encode(AVFrame* frame, AVPacket* packet);

 private:
  LibavH264 m_codec;
};
