#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

// Decodes camera H.264 access units, on a VAAPI device when there is one,
// else in software. One packet in, at most one frame out per call.
class H264HwDecoder {
 public:
  H264HwDecoder() = default;
  ~H264HwDecoder();
  H264HwDecoder(const H264HwDecoder&) = delete;
  H264HwDecoder& operator=(const H264HwDecoder&) = delete;

  bool Init();
  // The frame belongs to the decoder until the next Decode or Close.
  AVFrame* Decode(const uint8_t* data, int size);
  void Close();
  bool IsHardware() const { return m_hwDeviceCtx != nullptr; }

 private:
  bool OpenHardware();

  const AVCodec* m_decoder = nullptr;
  AVPacket* m_packet = nullptr;
  AVFrame* m_frame = nullptr;
  AVFrame* m_received = nullptr;  // where pictures land before they become m_frame
  AVCodecContext* m_context = nullptr;
  AVBufferRef* m_hwDeviceCtx = nullptr;
  int m_hwFormat = AV_PIX_FMT_NONE;
};

// The decoder's format callback: the wanted hardware format when offered,
// else the first software format.
AVPixelFormat GetHwFormat(AVCodecContext* context, const AVPixelFormat* list);
int HwDecoderInit(AVCodecContext* context, AVHWDeviceType type, AVBufferRef** device);
