#include "recorder/swshelper.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <glog/logging.h>
#include <libyuv/convert.h>

#include <algorithm>

SwsHelper::~SwsHelper() { Reset(); }

int SwsHelper::Init(int srcFormat, int srcWidth, int srcHeight, int dstFormat, int dstWidth,
                    int dstHeight) {
  if (m_initialised) return 0;
  LOG(INFO) << "SRC IS " << srcWidth << ",height is " << srcHeight << ",dst width is "
            << dstWidth << ",dst height is " << dstHeight;
  const int useWidth = srcWidth == dstWidth + 1 ? dstWidth : srcWidth;
  const int useHeight = srcHeight == dstHeight + 1 ? dstHeight : srcHeight;
  // libyuv's ARGB is BGRA in memory; both sides use BT.601 limited range.
  m_libyuv = srcFormat == AV_PIX_FMT_BGRA && dstFormat == AV_PIX_FMT_YUV420P &&
             useWidth == dstWidth && useHeight == dstHeight;
  if (!m_libyuv)
    m_context = sws_getContext(useWidth, useHeight, static_cast<AVPixelFormat>(srcFormat),
                               dstWidth, dstHeight, static_cast<AVPixelFormat>(dstFormat),
                               SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!m_libyuv && !m_context) {
    LOG(ERROR) << "sws get context failed";
    return -1;
  }
  const int size =
      av_image_get_buffer_size(static_cast<AVPixelFormat>(dstFormat), dstWidth, dstHeight, 1);
  m_frame = av_frame_alloc();
  if (size <= 0 || !m_frame) {
    LOG(ERROR) << "sws output buffer failed";
    Reset();
    return -1;
  }
  m_buffer.reset(new uint8_t[size]);
  m_bufferSize = size;
  m_frame->format = dstFormat;
  m_frame->width = dstWidth;
  m_frame->height = dstHeight;
  av_image_fill_arrays(m_frame->data, m_frame->linesize, m_buffer.get(),
                       static_cast<AVPixelFormat>(dstFormat), dstWidth, dstHeight, 1);
  m_srcFormat = srcFormat;
  m_srcWidth = srcWidth;
  m_srcHeight = srcHeight;
  m_useWidth = useWidth;
  m_useHeight = useHeight;
  m_dstFormat = dstFormat;
  m_dstWidth = dstWidth;
  m_dstHeight = dstHeight;
  m_initialised = true;
  return 0;
}

void SwsHelper::Reset() {
  m_initialised = false;
  m_rebuildFailed = false;
  m_libyuv = false;
  if (m_context) sws_freeContext(m_context);
  m_context = nullptr;
  av_frame_free(&m_frame);
  m_buffer.reset();
  m_bufferSize = 0;
}

bool SwsHelper::Prepare(const AVFrame* in) {
  if (!in) return false;
  // A converter whose rebuild failed tries again with the next frame.
  const bool broken = !m_initialised && m_rebuildFailed;
  if (!broken && (!m_initialised || !(m_context || m_libyuv) || !m_buffer)) return false;
  if (broken || in->width != m_srcWidth || in->height != m_srcHeight) {
    const int srcFormat = m_srcFormat, dstFormat = m_dstFormat;
    const int dstWidth = m_dstWidth, dstHeight = m_dstHeight;
    Reset();
    m_rebuildFailed =
        Init(srcFormat, in->width, in->height, dstFormat, dstWidth, dstHeight) != 0;
    if (m_rebuildFailed) return false;
  }
  return true;
}

bool SwsHelper::Run(const AVFrame* in, uint8_t* const planes[], const int strides[]) {
  if (m_libyuv)
    return libyuv::ARGBToI420(in->data[0], in->linesize[0], planes[0], strides[0], planes[1],
                              strides[1], planes[2], strides[2], m_useWidth, m_useHeight) == 0;
  const int ret =
      sws_scale(m_context, in->data, in->linesize, 0, m_useHeight, planes, strides);
  if (ret <= 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(ret, text, sizeof(text));
    LOG(ERROR) << "convert failed" << ",error is " << text;
    return false;
  }
  return true;
}

int SwsHelper::Convert(const AVFrame* in, AVFrame** out) {
  if (!Prepare(in) || !Run(in, m_frame->data, m_frame->linesize)) return -1;
  m_frame->pts = in->pts;
  m_frame->pkt_dts = in->pkt_dts;
  *out = m_frame;
  return 0;
}

int SwsHelper::ConvertInto(const AVFrame* in, AVFrame* out) {
  if (!out || out->format != m_dstFormat || out->width != m_dstWidth ||
      out->height != m_dstHeight)
    return -1;
  if (!Prepare(in) || !Run(in, out->data, out->linesize)) return -1;
  out->pts = in->pts;
  out->pkt_dts = in->pkt_dts;
  return 0;
}

bool SwsHelper::ConvertsParts(const AVFrame* in) const {
  return m_initialised && m_libyuv && in && in->width == m_srcWidth && in->height == m_srcHeight;
}

int SwsHelper::ConvertParts(const AVFrame* in, AVFrame* out,
                            const std::vector<platform::Rect>& parts) {
  if (!ConvertsParts(in) || !out || out->format != m_dstFormat || out->width != m_dstWidth ||
      out->height != m_dstHeight)
    return -1;
  for (const platform::Rect& part : parts) {
    // Even edges: each 2x2 block of chroma is made of the same pixels as in
    // a conversion of the whole picture.
    const int left = std::max(part.left, 0) & ~1;
    const int top = std::max(part.top, 0) & ~1;
    const int right = std::min(part.right + (part.right & 1), m_useWidth);
    const int bottom = std::min(part.bottom + (part.bottom & 1), m_useHeight);
    if (right <= left || bottom <= top) continue;
    const int* s = out->linesize;
    if (libyuv::ARGBToI420(in->data[0] + size_t(top) * in->linesize[0] + size_t(left) * 4,
                           in->linesize[0], out->data[0] + size_t(top) * s[0] + left, s[0],
                           out->data[1] + size_t(top / 2) * s[1] + left / 2, s[1],
                           out->data[2] + size_t(top / 2) * s[2] + left / 2, s[2],
                           right - left, bottom - top) != 0)
      return -1;
  }
  out->pts = in->pts;
  out->pkt_dts = in->pkt_dts;
  return 0;
}

int SwsHelper::Scale(const AVFrame* in, uint8_t** data, int* size) {
  if (!Prepare(in)) return -1;
  const bool ok = Run(in, m_frame->data, m_frame->linesize);
  *data = m_buffer.get();
  *size = m_bufferSize;
  if (!ok) {
    LOG(ERROR) << "Scale failed";
    return 9;
  }
  return 0;
}

int NormalizeJpegPixelFormat(int format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    default: return format;
  }
}

int GetHwPixelFormat(int deviceType) {
  switch (deviceType) {
    case AV_HWDEVICE_TYPE_VDPAU: return AV_PIX_FMT_VDPAU;
    case AV_HWDEVICE_TYPE_VAAPI: return AV_PIX_FMT_VAAPI;
    case AV_HWDEVICE_TYPE_DXVA2: return AV_PIX_FMT_DXVA2_VLD;
    case AV_HWDEVICE_TYPE_QSV: return AV_PIX_FMT_QSV;
    case AV_HWDEVICE_TYPE_VIDEOTOOLBOX: return AV_PIX_FMT_VIDEOTOOLBOX;
    case AV_HWDEVICE_TYPE_D3D11VA: return AV_PIX_FMT_D3D11;
    default: return AV_PIX_FMT_NONE;
  }
}
