#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

#include <cstdint>

// What each H.264 encoder keeps of libavcodec, and the steps they share.
struct LibavH264 {
  const AVCodec* codec = nullptr;
  AVCodecContext* context = nullptr;

  // Settings common to every encoder: size, microsecond time base with the
  // frame rate beside it, no B-frames, parameter sets in the extradata.
  void SetCommon(int width, int height, int fps, AVPixelFormat format);
  void Close();
  int ExtradataSize() const { return context ? context->extradata_size : 0; }
  const uint8_t* Extradata() const { return context ? context->extradata : nullptr; }
};

// Opens the named encoder at 1280x720, 30 fps without options.
bool TestOpenEncoder(const char* name, AVPixelFormat format, const char* notFound);

// FFmpeg's text for an error number.
const char* AvErrorText(int error, char* text, size_t size);
