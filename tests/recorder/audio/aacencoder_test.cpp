#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <cmath>
#include <mutex>
#include <vector>

#include "recorder/audio/aacencoder.h"
#include "support/logcapture.h"

TEST(AacEncoder, LcStereoFramesExtradataAndFlushAtStop) {
  AacEncoder encoder;
  EXPECT_EQ(encoder.Start(), -1);
  ASSERT_EQ(encoder.Init(2, 48000, AV_SAMPLE_FMT_FLTP, 128000), 0);
  EXPECT_EQ(encoder.Init(2, 48000, AV_SAMPLE_FMT_FLTP, 128000), 0);
  EXPECT_EQ(encoder.GetFrameSize(), 1024);
  // AudioSpecificConfig: AAC LC, 48 kHz, two channels.
  ASSERT_GE(encoder.GetExtradataSize(), 2);
  EXPECT_EQ(encoder.GetExtradata()[0], 0x11);
  EXPECT_EQ(encoder.GetExtradata()[1], 0x90);

  std::mutex mutex;
  std::vector<int64_t> pts;
  size_t bytes = 0;
  encoder.SetCallbacks(
      [&](AVPacket* p) {
        std::lock_guard<std::mutex> lock(mutex);
        pts.push_back(p->pts);
        bytes += p->size;
      },
      nullptr);
  ASSERT_EQ(encoder.Start(), 0);

  const int block = 1024 * 2 * 4;
  std::vector<uint8_t> pcm(block);
  float* planes = reinterpret_cast<float*>(pcm.data());
  testsupport::LogCapture log;
  EXPECT_EQ(encoder.PushPcm(pcm.data(), block - 4, av_frame_alloc()), -1);
  AVFrame* header = av_frame_alloc();
  const int blocks = 40;
  for (int n = 0; n < blocks; ++n) {
    for (int i = 0; i < 1024; ++i)
      planes[i] = planes[1024 + i] = 0.4f * static_cast<float>(std::sin(2 * M_PI * 1000 * (n * 1024 + i) / 48000.0));
    header->pts = header->pkt_dts = n * 1024;
    EXPECT_EQ(encoder.PushPcm(pcm.data(), block, header), 0);
  }
  encoder.Stop();
  av_frame_free(&header);

  std::lock_guard<std::mutex> lock(mutex);
  // Every block and the codec's delayed frames come out by Stop.
  EXPECT_GE(pts.size(), static_cast<size_t>(blocks));
  for (size_t i = 1; i < pts.size(); ++i) EXPECT_GT(pts[i], pts[i - 1]);
  EXPECT_GT(bytes, 0u);
}

TEST(AacEncoder, AFullQueueIsReportedNotHidden) {
  AacEncoder encoder;
  ASSERT_EQ(encoder.Init(2, 48000, AV_SAMPLE_FMT_FLTP, 128000), 0);
  // Not started: nothing drains the 10 MiB queue.
  std::vector<uint8_t> pcm(8192);
  AVFrame* header = av_frame_alloc();
  int refused = 0;
  for (int n = 0; n < 2000 && refused == 0; ++n)
    if (encoder.PushPcm(pcm.data(), 8192, header) != 0) ++refused;
  EXPECT_EQ(refused, 1);
  av_frame_free(&header);
}
