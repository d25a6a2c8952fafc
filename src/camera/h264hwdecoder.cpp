#include "camera/h264hwdecoder.h"

#include <glog/logging.h>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

#include "recorder/swshelper.h"

namespace {
std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof(text));
  return text;
}
}  // namespace

AVPixelFormat GetHwFormat(AVCodecContext* context, const AVPixelFormat* list) {
  const int wanted = *static_cast<const int*>(context->opaque);
  for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p)
    if (*p == wanted) return *p;
  // The device has no format for this stream: decode it in software.
  for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(*p);
    if (desc && !(desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) {
      LOG(INFO) << "the hardware device cannot decode this stream, decoding to "
                << av_get_pix_fmt_name(*p) << " in software";
      return *p;
    }
  }
  return AV_PIX_FMT_NONE;
}

int HwDecoderInit(AVCodecContext* context, AVHWDeviceType type, AVBufferRef** device) {
  int ret = av_hwdevice_ctx_create(device, type, nullptr, nullptr, 0);
  if (ret < 0) {
    LOG(INFO) << "Failed to create specified HW device.";
    return ret;
  }
  context->hw_device_ctx = av_buffer_ref(*device);
  return ret;
}

H264HwDecoder::~H264HwDecoder() { Close(); }

bool H264HwDecoder::OpenHardware() {
  const AVHWDeviceType type = av_hwdevice_find_type_by_name("vaapi");
  m_hwFormat = GetHwPixelFormat(type);
  if (m_hwFormat == AV_PIX_FMT_NONE) {
    LOG(INFO) << "Cannot support vaapi";
    return false;
  }
  bool supported = false;
  for (int i = 0;; ++i) {
    const AVCodecHWConfig* config = avcodec_get_hw_config(m_decoder, i);
    if (!config) break;
    if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) && config->device_type == type) {
      m_hwFormat = config->pix_fmt;
      supported = true;
      break;
    }
  }
  if (!supported) {
    LOG(INFO) << "Decoder " << m_decoder->name << " does not support device type "
              << av_hwdevice_get_type_name(type);
    return false;
  }
  m_context->opaque = &m_hwFormat;
  m_context->get_format = GetHwFormat;
  if (HwDecoderInit(m_context, type, &m_hwDeviceCtx) < 0) {
    LOG(INFO) << "HwDecoderInit failed.";
    m_context->get_format = avcodec_default_get_format;
    m_context->opaque = nullptr;
    return false;
  }
  return true;
}

bool H264HwDecoder::Init() {
  Close();
  m_decoder = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!m_decoder) {
    LOG(ERROR) << "avcodec_find_decoder failed";
    return false;
  }
  m_context = avcodec_alloc_context3(m_decoder);
  if (!m_context) {
    LOG(ERROR) << "avcodec_alloc_context3 failed";
    return false;
  }
  // A preview wants each picture as soon as its packet is in.
  m_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  m_context->thread_type = FF_THREAD_SLICE;
  if (!OpenHardware()) LOG(INFO) << "decoding camera H.264 in software";
  int ret = avcodec_open2(m_context, m_decoder, nullptr);
  if (ret < 0 && m_hwDeviceCtx) {
    // The device exists but the decoder cannot use it: fall back to software.
    LOG(WARNING) << "avcodec_open2 failed on the hardware device: " << AvError(ret);
    avcodec_free_context(&m_context);
    av_buffer_unref(&m_hwDeviceCtx);
    m_context = avcodec_alloc_context3(m_decoder);
    if (m_context) {
      m_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
      m_context->thread_type = FF_THREAD_SLICE;
    }
    ret = m_context ? avcodec_open2(m_context, m_decoder, nullptr) : AVERROR(ENOMEM);
  }
  if (ret < 0) {
    LOG(ERROR) << "avcodec_open2 failed";
    Close();
    return false;
  }
  m_packet = av_packet_alloc();
  m_frame = av_frame_alloc();
  m_received = av_frame_alloc();
  if (!m_packet || !m_frame || !m_received) {
    Close();
    return false;
  }
  return true;
}

AVFrame* H264HwDecoder::Decode(const uint8_t* data, int size) {
  if (!m_context || !m_frame) return nullptr;
  av_frame_unref(m_frame);
  m_packet->data = const_cast<uint8_t*>(data);
  m_packet->size = size;
  int ret = avcodec_send_packet(m_context, m_packet);
  if (ret == AVERROR(EAGAIN)) {
    // The decoder still holds pictures: take them (the newest is shown),
    // then the same packet goes in, so that no picture loses its reference.
    while (avcodec_receive_frame(m_context, m_received) == 0) {
      av_frame_unref(m_frame);
      av_frame_move_ref(m_frame, m_received);
    }
    ret = avcodec_send_packet(m_context, m_packet);
  }
  m_packet->data = nullptr;
  m_packet->size = 0;
  if (ret != 0) {
    LOG(ERROR) << "av error is " << AvError(ret);
  } else {
    ret = avcodec_receive_frame(m_context, m_received);
    if (ret == 0) {
      av_frame_unref(m_frame);
      av_frame_move_ref(m_frame, m_received);
    } else if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
      LOG(ERROR) << "av error is " << AvError(ret);
    }
  }
  return m_frame->buf[0] ? m_frame : nullptr;
}

void H264HwDecoder::Close() {
  avcodec_free_context(&m_context);
  av_buffer_unref(&m_hwDeviceCtx);
  av_frame_free(&m_frame);
  av_frame_free(&m_received);
  av_packet_free(&m_packet);
}
