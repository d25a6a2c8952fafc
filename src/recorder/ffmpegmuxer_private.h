#pragma once

// Shared by the source files of FfmpegMuxer, and by them only: the parts of
// its video and sound outputs, and the helpers that more than one uses.

extern "C" {
#include <libavutil/error.h>
#include <libavutil/rational.h>
}

#include <memory>
#include <string>
#include <vector>

#include "recorder/audio/aacencoder.h"
#include "recorder/audiomixer.h"
#include "recorder/ffmpegmuxer.h"
#include "recorder/filteraresample.h"
#include "recorder/swshelper.h"
#include "recorder/watermarkmaker.h"

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

inline std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof(text));
  return text;
}

}  // namespace

struct FfmpegMuxer::OutputStream {
  AVStream* stream = nullptr;
  MuxParams params;
  // Video.
  std::unique_ptr<VideoEncoderInterface> encoder;
  WindowCapturerInterface* capturer = nullptr;
  std::unique_ptr<SwsHelper> sws;
  std::unique_ptr<WatermarkMaker> watermark;
  // Audio.
  std::unique_ptr<AacEncoder> aac;
  std::unique_ptr<AudioMixer> mixer;
  std::vector<std::unique_ptr<filter_aresample>> resamplers;
  int sourceCount = 0;
  std::vector<AudioCapturer*> sources;
  std::vector<PcmGatherer> gatherers;
};
