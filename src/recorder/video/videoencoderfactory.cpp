#include "recorder/video/videoencoderfactory.h"

#include "recorder/video/nvidia264encoder.h"
#include "recorder/video/qsv264encoder.h"
#include "recorder/video/x264encoder.h"

namespace videoencoderfactory {
int& NvencState() {
  static int state = -1;
  return state;
}
int& QsvState() {
  static int state = -1;
  return state;
}
std::function<VideoEncoderInterface*()>& Substitute() {
  static std::function<VideoEncoderInterface*()> substitute;
  return substitute;
}
}  // namespace videoencoderfactory

VideoEncoderInterface* CreateVideoEncoder() {
  int& nvencState = videoencoderfactory::NvencState();
  int& qsvState = videoencoderfactory::QsvState();
  if (const auto& substitute = videoencoderfactory::Substitute()) return substitute();
  if (nvencState == 1) return new Nvidia264Encoder();
  if (qsvState == 1) return new Qsv264Encoder();
  if (nvencState == -1 && IsNvencAvailable()) {
    auto* encoder = new Nvidia264Encoder();
    if (encoder->IsSupported()) {
      nvencState = 1;
      return encoder;
    }
    nvencState = 0;
    delete encoder;
  }
  if (qsvState == -1) {
    auto* encoder = new Qsv264Encoder();
    if (encoder->IsSupported()) {
      qsvState = 1;
      return encoder;
    }
    qsvState = 0;
    delete encoder;
  }
  return new X264Encoder();
}
