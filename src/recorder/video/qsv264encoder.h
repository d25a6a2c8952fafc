#pragma once

extern "C" {
#include <libavutil/dict.h>
}

#include "recorder/video/libavh264encoder.h"

class Qsv264Encoder : public LibavH264Encoder {
 public:
  Qsv264Encoder() : LibavH264Encoder(nullptr, "ret is smaller than 0") {}

  bool IsSupported() override;
  int Init(int width, int height, int fps, int reserved, int qp, int keyFrameSeconds) override;
  int GetPixelFormat() override;

  // Fills a context of this encoder's codec as Init does and gives the
  // options Init opens it with (the caller frees them).
  static void SetUpContext(AVCodecContext* context, int width, int height, int fps, int qp,
                           int keyFrameSeconds, AVDictionary** options);
};
