#pragma once

extern "C" {
#include <libavutil/frame.h>
}

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/backend.h"

struct SwsContext;

// Converts and scales captured frames into the encoder's format and size,
// following changes of the source size on the fly. A source one pixel wider
// or taller than the destination (an odd size made even) loses its last
// column or row rather than being scaled, so its pixels stay 1:1. BGRA to
// I420 at the same size goes through libyuv, anything else through swscale.
class SwsHelper {
 public:
  SwsHelper() = default;
  ~SwsHelper();
  SwsHelper(const SwsHelper&) = delete;
  SwsHelper& operator=(const SwsHelper&) = delete;

  // 0 or -1; nothing when already initialised.
  int Init(int srcFormat, int srcWidth, int srcHeight, int dstFormat, int dstWidth, int dstHeight);
  // 0 with *out = the converter's own frame (valid until the next call), or -1.
  int Convert(const AVFrame* in, AVFrame** out);
  // 0, 9 (conversion failed) or -1; *data and *size describe the output buffer.
  int Scale(const AVFrame* in, uint8_t** data, int* size);
  // Converts into out's planes (destination format and size); copies the
  // times. 0 or -1.
  int ConvertInto(const AVFrame* in, AVFrame* out);
  // Whether ConvertParts can take in: a picture of the source size that
  // goes to I420 unscaled.
  bool ConvertsParts(const AVFrame* in) const;
  // Like ConvertInto, but only the parts of in given (widened to even
  // edges); the rest of out stays as it is. 0 or -1.
  int ConvertParts(const AVFrame* in, AVFrame* out, const std::vector<platform::Rect>& parts);
  void Reset();

 private:
  // Rebuilds the context when the input's size differs from the source size.
  bool Prepare(const AVFrame* in);
  // Converts in into planes/strides of the destination format; false on failure.
  bool Run(const AVFrame* in, uint8_t* const planes[], const int strides[]);

  std::atomic<bool> m_initialised{false};
  AVFrame* m_frame = nullptr;
  std::unique_ptr<uint8_t[]> m_buffer;
  int m_bufferSize = 0;
  SwsContext* m_context = nullptr;
  int m_srcWidth = 0;
  int m_srcHeight = 0;
  int m_useWidth = 0;  // the part of the source that is converted
  int m_useHeight = 0;
  int m_dstWidth = 0;
  int m_dstHeight = 0;
  int m_srcFormat = -1;
  int m_dstFormat = -1;
  bool m_rebuildFailed = false;
  bool m_libyuv = false;  // BGRA to I420, same size
};

// Full-range YUV formats to their plain counterparts; others unchanged.
int NormalizeJpegPixelFormat(int format);
// The pixel format of a hardware device type's frames; AV_PIX_FMT_NONE for
// types without one.
int GetHwPixelFormat(int deviceType);
