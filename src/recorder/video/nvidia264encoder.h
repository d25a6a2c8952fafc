#pragma once

extern "C" {
#include <libavutil/dict.h>
}

#include "recorder/video/libavh264encoder.h"

class Nvidia264Encoder : public LibavH264Encoder {
 public:
  Nvidia264Encoder() : LibavH264Encoder("send frame failed", "receive packet failed") {}

  bool IsSupported() override;
  int Init(int width, int height, int fps, int reserved, int qp, int keyFrameSeconds) override;
  int GetPixelFormat() override;

  // Fills a context of this encoder's codec as Init does and gives the
  // options Init opens it with (the caller frees them).
  static void SetUpContext(AVCodecContext* context, int width, int height, int fps, int qp,
                           int keyFrameSeconds, AVDictionary** options);
};
