#include <gtest/gtest.h>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
}

#include <cstring>
#include <vector>

#include "recorder/swshelper.h"

namespace {

// A BGRA frame over a vector filled with one colour.
struct BgraFrame {
  BgraFrame(int w, int h, uint8_t b, uint8_t g, uint8_t r) : pixels(size_t(w) * h * 4) {
    for (size_t i = 0; i < pixels.size(); i += 4) {
      pixels[i] = b;
      pixels[i + 1] = g;
      pixels[i + 2] = r;
      pixels[i + 3] = 255;
    }
    frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = w;
    frame->height = h;
    av_image_fill_arrays(frame->data, frame->linesize, pixels.data(), AV_PIX_FMT_BGRA, w, h, 1);
  }
  ~BgraFrame() { av_frame_free(&frame); }
  std::vector<uint8_t> pixels;
  AVFrame* frame;
};

void ExpectPlanes(const uint8_t* data, int w, int h, int y, int u, int v) {
  const uint8_t* yPlane = data;
  const uint8_t* uPlane = data + w * h;
  const uint8_t* vPlane = uPlane + (w / 2) * (h / 2);
  for (int i = 0; i < w * h; i += 97) ASSERT_NEAR(yPlane[i], y, 1) << i;
  for (int i = 0; i < (w / 2) * (h / 2); i += 31) {
    ASSERT_NEAR(uPlane[i], u, 1) << i;
    ASSERT_NEAR(vPlane[i], v, 1) << i;
  }
}

}  // namespace

TEST(SwsHelper, WhiteAndBlackGiveLimitedRangeYuv) {
  SwsHelper sws;
  ASSERT_EQ(sws.Init(AV_PIX_FMT_BGRA, 64, 48, AV_PIX_FMT_YUV420P, 64, 48), 0);
  BgraFrame white(64, 48, 255, 255, 255);
  uint8_t* data = nullptr;
  int size = 0;
  ASSERT_EQ(sws.Scale(white.frame, &data, &size), 0);
  ASSERT_EQ(size, 64 * 48 * 3 / 2);
  ExpectPlanes(data, 64, 48, 235, 128, 128);

  BgraFrame black(64, 48, 0, 0, 0);
  black.frame->pts = 123456;
  black.frame->pkt_dts = 123456;
  AVFrame* out = nullptr;
  ASSERT_EQ(sws.Convert(black.frame, &out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->pts, 123456);
  EXPECT_EQ(out->pkt_dts, 123456);
  EXPECT_EQ(out->width, 64);
  EXPECT_EQ(out->format, AV_PIX_FMT_YUV420P);
  ExpectPlanes(out->data[0], 64, 48, 16, 128, 128);
}

TEST(SwsHelper, SourceSizeChangeKeepsOutputSize) {
  SwsHelper sws;
  ASSERT_EQ(sws.Init(AV_PIX_FMT_BGRA, 800, 600, AV_PIX_FMT_NV12, 640, 480), 0);
  BgraFrame small(800, 600, 255, 255, 255);
  uint8_t* data = nullptr;
  int size = 0;
  ASSERT_EQ(sws.Scale(small.frame, &data, &size), 0);
  const int expected = av_image_get_buffer_size(AV_PIX_FMT_NV12, 640, 480, 1);
  EXPECT_EQ(size, expected);

  // The window grows: the next frame still comes out at the recording size,
  // with the new content.
  BgraFrame large(1024, 768, 0, 0, 0);
  large.frame->pts = 99;
  AVFrame* out = nullptr;
  ASSERT_EQ(sws.Convert(large.frame, &out), 0);
  EXPECT_EQ(out->width, 640);
  EXPECT_EQ(out->height, 480);
  EXPECT_EQ(out->pts, 99);
  EXPECT_NEAR(out->data[0][0], 16, 1);
  EXPECT_NEAR(out->data[0][640 * 480 - 1], 16, 1);
  ASSERT_EQ(sws.Scale(large.frame, &data, &size), 0);
  EXPECT_EQ(size, expected);
}

// A picture brought up to date by converting only what changed equals the
// whole picture converted, also where a change has odd edges (chroma
// blocks).
TEST(SwsHelper, ChangedPartsConvertLikeTheWholePicture) {
  SwsHelper sws;
  ASSERT_EQ(sws.Init(AV_PIX_FMT_BGRA, 64, 48, AV_PIX_FMT_YUV420P, 64, 48), 0);
  BgraFrame screen(64, 48, 200, 120, 40);
  auto planes = [](AVFrame* f) {
    f->format = AV_PIX_FMT_YUV420P;
    f->width = 64;
    f->height = 48;
    av_frame_get_buffer(f, 0);
  };
  AVFrame* kept = av_frame_alloc();
  AVFrame* whole = av_frame_alloc();
  planes(kept);
  planes(whole);
  ASSERT_EQ(sws.ConvertInto(screen.frame, kept), 0);
  const platform::Rect changed{5, 7, 30, 21};
  for (int y = changed.top; y < changed.bottom; ++y)
    for (int x = changed.left; x < changed.right; ++x)
      for (int c = 0; c < 3; ++c) screen.pixels[size_t(y * 64 + x) * 4 + c] = uint8_t(x * 7 + y * 3 + c * 50);
  ASSERT_TRUE(sws.ConvertsParts(screen.frame));
  ASSERT_EQ(sws.ConvertParts(screen.frame, kept, {changed}), 0);
  ASSERT_EQ(sws.ConvertInto(screen.frame, whole), 0);
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < (p ? 24 : 48); ++y)
      ASSERT_EQ(memcmp(kept->data[p] + y * kept->linesize[p], whole->data[p] + y * whole->linesize[p],
                       p ? 32 : 64), 0) << "plane " << p << " row " << y;
  av_frame_free(&kept);
  av_frame_free(&whole);
}

TEST(SwsHelper, UnusableBeforeInitAndAfterReset) {
  SwsHelper sws;
  BgraFrame frame(16, 16, 1, 2, 3);
  AVFrame* out = nullptr;
  uint8_t* data = nullptr;
  int size = 0;
  EXPECT_EQ(sws.Convert(frame.frame, &out), -1);
  EXPECT_EQ(sws.Scale(frame.frame, &data, &size), -1);
  ASSERT_EQ(sws.Init(AV_PIX_FMT_BGRA, 16, 16, AV_PIX_FMT_YUV420P, 16, 16), 0);
  sws.Reset();
  EXPECT_EQ(sws.Convert(frame.frame, &out), -1);
}

TEST(PixelFormatMaps, JpegAndHardwareFormats) {
  EXPECT_EQ(NormalizeJpegPixelFormat(AV_PIX_FMT_YUVJ440P), AV_PIX_FMT_YUV440P);
  EXPECT_EQ(NormalizeJpegPixelFormat(AV_PIX_FMT_NV12), AV_PIX_FMT_NV12);
  EXPECT_EQ(GetHwPixelFormat(AV_HWDEVICE_TYPE_CUDA), AV_PIX_FMT_NONE);
  EXPECT_EQ(GetHwPixelFormat(AV_HWDEVICE_TYPE_VAAPI), AV_PIX_FMT_VAAPI);
}
