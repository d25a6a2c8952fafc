#pragma once

#include <gtest/gtest.h>
#include <libyuv.h>

#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QPainter>

#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "platform/cameras.h"
#include "platform/fake/fake_cameras.h"

namespace camtest {

// Left half red, right half blue: easy to recognise after any conversion.
inline QImage TestPicture(int w, int h) {
  QImage image(w, h, QImage::Format_RGB32);
  QPainter p(&image);
  p.fillRect(0, 0, w / 2, h, QColor(255, 0, 0));
  p.fillRect(w / 2, 0, w - w / 2, h, QColor(0, 0, 255));
  return image;
}

inline std::vector<uint8_t> ToI420(const QImage& img) {
  const int w = img.width(), h = img.height();
  std::vector<uint8_t> out(size_t(w) * h * 3 / 2);
  uint8_t* y = out.data();
  uint8_t* u = y + w * h;
  uint8_t* v = u + (w / 2) * (h / 2);
  libyuv::ARGBToI420(img.constBits(), img.bytesPerLine(), y, w, u, w / 2, v, w / 2, w, h);
  return out;
}

inline std::vector<uint8_t> ToYuy2(const QImage& img) {
  std::vector<uint8_t> out(size_t(img.width()) * img.height() * 2);
  libyuv::ARGBToYUY2(img.constBits(), img.bytesPerLine(), out.data(), img.width() * 2, img.width(),
                     img.height());
  return out;
}

inline std::vector<uint8_t> ToUyvy(const QImage& img) {
  std::vector<uint8_t> out(size_t(img.width()) * img.height() * 2);
  libyuv::ARGBToUYVY(img.constBits(), img.bytesPerLine(), out.data(), img.width() * 2, img.width(),
                     img.height());
  return out;
}

inline std::vector<uint8_t> ToNv12(const QImage& img) {
  const int w = img.width(), h = img.height();
  std::vector<uint8_t> out(size_t(w) * h * 3 / 2);
  libyuv::ARGBToNV12(img.constBits(), img.bytesPerLine(), out.data(), w, out.data() + w * h, w, w, h);
  return out;
}

// B, G, R bytes; last row first when bottomUp.
inline std::vector<uint8_t> ToBgr24(const QImage& img, bool bottomUp) {
  const int w = img.width(), h = img.height();
  std::vector<uint8_t> out(size_t(w) * h * 3);
  for (int r = 0; r < h; ++r) {
    const uint8_t* src = img.constScanLine(bottomUp ? h - 1 - r : r);
    uint8_t* dst = &out[size_t(r) * w * 3];
    for (int x = 0; x < w; ++x) memcpy(dst + x * 3, src + x * 4, 3);
  }
  return out;
}

inline std::vector<uint8_t> ToMjpeg(const QImage& img) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  img.save(&buffer, "JPEG", 95);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Access units of a short H.264 stream of the picture (first one carries
// the parameter sets), an IDR picture every gop pictures.
inline std::vector<std::vector<uint8_t>> ToH264(const QImage& img, int count, int gop = 10) {
  std::vector<std::vector<uint8_t>> units;
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return units;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = img.width();
  ctx->height = img.height();
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = {1, 30};
  ctx->gop_size = gop;
  ctx->max_b_frames = 0;
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return units;
  }
  const auto yuv = ToI420(img);
  AVFrame* frame = av_frame_alloc();
  frame->width = ctx->width;
  frame->height = ctx->height;
  frame->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(frame, 0);
  const int w = img.width(), h = img.height();
  libyuv::I420Copy(yuv.data(), w, yuv.data() + w * h, w / 2, yuv.data() + w * h + (w / 2) * (h / 2), w / 2,
                   frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1], frame->data[2],
                   frame->linesize[2], w, h);
  AVPacket* pkt = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      units.emplace_back(pkt->data, pkt->data + pkt->size);
      av_packet_unref(pkt);
    }
  };
  for (int i = 0; i < count; ++i) {
    frame->pts = i;
    avcodec_send_frame(ctx, frame);
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return units;
}

inline platform::CameraFormat Format(platform::CameraPixelFormat f, int w, int h,
                                     std::vector<int64_t> intervals = {333333}) {
  platform::CameraFormat format;
  format.pixelFormat = f;
  format.width = w;
  format.height = h;
  format.frameIntervals = std::move(intervals);
  format.averageInterval = 333333;
  return format;
}

// Close enough to the expected colour after YUV and JPEG round trips.
inline ::testing::AssertionResult Near(QColor actual, QColor expected) {
  const int d = std::abs(actual.red() - expected.red()) + std::abs(actual.green() - expected.green()) +
                std::abs(actual.blue() - expected.blue());
  if (d < 90) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << actual.name().toStdString() << " want "
                                       << expected.name().toStdString();
}

}  // namespace camtest
