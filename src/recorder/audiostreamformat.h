#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

#include <cstdint>

// One end of an audio filter graph.
struct AudioStreamFormat {
  AVRational timeBase{1, 1000000};
  int32_t sampleRate = 0;
  int32_t sampleFormat = -1;  // AVSampleFormat
  int32_t channels = 0;
  uint64_t channelLayout = 0;  // channel mask; 0 = the default of the channel count
};
