#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "nvencavailability.h"
#include "platform/backend.h"
#include "platform/fake/fake_system_info.h"
#include "recorder/video/nvidia264encoder.h"
#include "recorder/video/qsv264encoder.h"
#include "recorder/video/videoencoderfactory.h"
#include "recorder/video/x264encoder.h"
#include "support/logcapture.h"

namespace {

struct Packets {
  struct Item {
    int64_t pts;
    bool key;
  };
  void Add(AVPacket* p) {
    std::lock_guard<std::mutex> lock(mutex);
    items.push_back({p->pts, (p->flags & AV_PKT_FLAG_KEY) != 0});
    cond.notify_all();
  }
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return cond.wait_for(lock, std::chrono::seconds(20), [&] { return items.size() >= n; });
  }
  std::mutex mutex;
  std::condition_variable cond;
  std::vector<Item> items;
};

std::vector<uint8_t> Picture(int width, int height, int index) {
  std::vector<uint8_t> data(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width, height, 1));
  // A moving gradient so that frames differ.
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) data[size_t(y) * width + x] = uint8_t(x + y + index * 9);
  std::fill(data.begin() + size_t(width) * height, data.end(), 128);
  return data;
}

AVCodecContext* ContextFor(const char* name) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  return codec ? avcodec_alloc_context3(codec) : nullptr;
}

int64_t OptInt(AVCodecContext* c, const char* name) {
  int64_t v = -1;
  av_opt_get_int(c->priv_data, name, 0, &v);
  return v;
}

}  // namespace

TEST(X264Encoder, RequestedKeyFrameGivesAKeyPacket) {
  X264Encoder encoder;
  ASSERT_EQ(encoder.Init(320, 240, 30, 0, 23, 0), 0);
  EXPECT_EQ(encoder.Init(320, 240, 30, 0, 23, 0), 0);  // already initialised
  EXPECT_EQ(encoder.GetPixelFormat(), AV_PIX_FMT_YUV420P);
  ASSERT_GT(encoder.GetExtradataSize(), 0);
  ASSERT_NE(encoder.GetExtradata(), nullptr);
  Packets packets;
  encoder.SetCallbacks([&packets](AVPacket* p) { packets.Add(p); }, nullptr);
  ASSERT_EQ(encoder.Start(), 0);

  AVFrame header{};
  const int64_t base = 5000000000;  // microseconds of a running clock
  for (int i = 0; i < 12; ++i) {
    if (i == 8) encoder.RequestKeyFrame();
    header.pts = header.pkt_dts = base + i * 33333;
    header.pict_type = AV_PICTURE_TYPE_NONE;
    const auto picture = Picture(320, 240, i);
    EXPECT_EQ(encoder.PushFrame(picture.data(), int(picture.size()), header), 0);
    // One picture at a time so that none is dropped; the frame threads
    // hold one back.
    ASSERT_TRUE(packets.WaitFor(size_t(i)));
  }
  encoder.StopAfterDrain();
  ASSERT_EQ(packets.items.size(), 12u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(packets.items[i].pts, base + i * 33333) << i;
    EXPECT_EQ(packets.items[i].key, i == 0 || i == 8) << i;
  }
  EXPECT_EQ(encoder.DroppedFrames(), 0u);
}

TEST(X264Encoder, StartBeforeInitFails) {
  X264Encoder encoder;
  EXPECT_EQ(encoder.Start(), -1);
  EXPECT_EQ(encoder.GetExtradataSize(), 0);
}

// A codec that refuses to open is told in each encoder's own words and code.
TEST(VideoEncoders, OpenFailuresAreLoggedAndAnsweredPerEncoder) {
  {
    testsupport::LogCapture log;
    X264Encoder x264;
    EXPECT_EQ(x264.Init(321, 240, 30, 0, 23, 0), kRecordEncoderOpenFailed);  // an odd width
    EXPECT_TRUE(log.Contains("avcodec open failed"));
  }
  Qsv264Encoder qsv;
  if (!qsv.IsSupported()) {
    testsupport::LogCapture log;
    EXPECT_EQ(qsv.Init(320, 240, 30, 0, 23, 0), kRecordEncoderOpenFailed);
    EXPECT_TRUE(log.Contains("avcodec open failed"));
  }
  Nvidia264Encoder nvenc;
  if (!nvenc.IsSupported()) {
    testsupport::LogCapture log;
    EXPECT_EQ(nvenc.Init(320, 240, 30, 0, 23, 0), kRecordFailed);
    EXPECT_TRUE(log.Contains("open encoder failed,reason:"));
  }
}

TEST(EncoderSettings, GopAndQuantiserRanges) {
  struct Case {
    int qp, keySeconds, qmin, qmax, gop;
  } cases[] = {{20, 2, 12, 27, 60}, {40, 0, 32, 47, 2500}, {8, 0, 0, 15, 2500}};
  for (const auto& c : cases) {
    AVCodecContext* qsv = ContextFor("h264_qsv");
    ASSERT_NE(qsv, nullptr);
    AVDictionary* options = nullptr;
    Qsv264Encoder::SetUpContext(qsv, 1280, 720, 30, c.qp, c.keySeconds, &options);
    EXPECT_EQ(qsv->qmin, c.qmin) << c.qp;
    EXPECT_EQ(qsv->qmax, c.qmax) << c.qp;
    EXPECT_EQ(qsv->gop_size, c.gop);
    EXPECT_EQ(qsv->pix_fmt, AV_PIX_FMT_NV12);
    EXPECT_EQ(qsv->flags & AV_CODEC_FLAG_CLOSED_GOP, 0);
    // Constant QP at qp, no bit rate.
    EXPECT_TRUE(qsv->flags & AV_CODEC_FLAG_QSCALE);
    EXPECT_EQ(qsv->global_quality, c.qp * FF_QP2LAMBDA);
    EXPECT_EQ(qsv->bit_rate, 0);
    EXPECT_STREQ(av_dict_get(options, "forced_idr", nullptr, 0)->value, "1");
    EXPECT_STREQ(av_dict_get(options, "async_depth", nullptr, 0)->value, "1");
    EXPECT_STREQ(av_dict_get(options, "idr_interval", nullptr, 0)->value, "0");
    av_dict_free(&options);
    avcodec_free_context(&qsv);

    AVCodecContext* x264 = ContextFor("libx264");
    ASSERT_NE(x264, nullptr);
    X264Encoder::SetUpContext(x264, 1280, 720, 30, c.qp, c.keySeconds, &options);
    EXPECT_EQ(x264->qmin, c.qp);
    EXPECT_EQ(x264->qmax, c.qp);
    EXPECT_EQ(x264->gop_size, c.gop);
    EXPECT_EQ(x264->bit_rate, 0);
    EXPECT_EQ(x264->max_b_frames, 0);
    EXPECT_TRUE(x264->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
    EXPECT_EQ(x264->time_base.num, 1);
    EXPECT_EQ(x264->time_base.den, 1000000);
    EXPECT_EQ(x264->framerate.num, 30);
    EXPECT_STREQ(av_dict_get(options, "tune", nullptr, 0)->value, "zerolatency");
    EXPECT_STREQ(av_dict_get(options, "preset", nullptr, 0)->value, "ultrafast");
    EXPECT_STREQ(av_dict_get(options, "x264-params", nullptr, 0)->value,
                 "cabac=1:sliced-threads=0");
    EXPECT_EQ(x264->thread_type, FF_THREAD_FRAME);
    EXPECT_STREQ(av_dict_get(options, "forced-idr", nullptr, 0)->value, "1");
    EXPECT_EQ(std::atoi(av_dict_get(options, "qp", nullptr, 0)->value), c.qp);
    av_dict_free(&options);
    avcodec_free_context(&x264);

    AVCodecContext* nvenc = ContextFor("h264_nvenc");
    ASSERT_NE(nvenc, nullptr);
    Nvidia264Encoder::SetUpContext(nvenc, 1280, 720, 30, c.qp, c.keySeconds, nullptr);
    EXPECT_EQ(nvenc->gop_size, 2500);
    EXPECT_EQ(nvenc->global_quality, c.qp);
    EXPECT_EQ(OptInt(nvenc, "forced-idr"), 1);
    EXPECT_EQ(OptInt(nvenc, "2pass"), 0);
    EXPECT_EQ(OptInt(nvenc, "gpu"), 0);
    // Constant QP is NVENC's rate-control mode 0 (its default is -1).
    EXPECT_EQ(OptInt(nvenc, "rc"), 0);
    avcodec_free_context(&nvenc);
  }
}

namespace {

// An encoder whose codec can be held still, to play a lagging encoder.
class GatedEncoder : public VideoEncoderInterface {
 public:
  static constexpr int kBytes = 4096;
  bool IsSupported() override { return true; }
  int Init(int, int, int, int, int, int) override {
    AllocateQueue(AV_PIX_FMT_GRAY8, 64, kBytes / 64);
    m_initialised = true;
    return 0;
  }
  int GetPixelFormat() override { return AV_PIX_FMT_GRAY8; }
  int GetExtradataSize() override { return 0; }
  const uint8_t* GetExtradata() override { return nullptr; }
  void Close() override {}
  void EncodeLoop() override {
    RunEncodeLoop([this](AVFrame* f, AVPacket*) {
      std::unique_lock<std::mutex> lock(mutex);
      entered = true;
      cond.notify_all();
      cond.wait(lock, [this] { return open; });
      bool intact = true;
      for (int i = 0; i < kBytes; ++i) intact = intact && f->data[0][i] == uint8_t(f->pts);
      seen.push_back({f->pts, f->pict_type == AV_PICTURE_TYPE_I, intact});
      cond.notify_all();
      return 0;
    });
  }
  ~GatedEncoder() override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      open = true;
    }
    cond.notify_all();
    Stop();
    Close();
  }

  struct Seen {
    int64_t pts;
    bool key;
    bool intact;
  };
  std::mutex mutex;
  std::condition_variable cond;
  bool entered = false;
  bool open = false;
  std::vector<Seen> seen;
};

}  // namespace

TEST(VideoEncoderQueue, LaggingEncoderDropsTheNewestAndKeepsTheRestIntact) {
  GatedEncoder encoder;
  ASSERT_EQ(encoder.Init(0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(encoder.Start(), 0);
  AVFrame header{};
  auto push = [&](int i) {
    std::vector<uint8_t> data(GatedEncoder::kBytes, uint8_t(i));
    header.pts = i;
    encoder.PushFrame(data.data(), int(data.size()), header);
  };
  push(1);
  {
    // The codec holds picture 1; pushing must not wait for it.
    std::unique_lock<std::mutex> lock(encoder.mutex);
    encoder.cond.wait(lock, [&] { return encoder.entered; });
  }
  for (int i = 2; i <= 14; ++i) push(i);  // ring: 10 pictures (2..11)
  EXPECT_EQ(encoder.DroppedFrames(), 3u);
  // A key-frame request made while the ring is full waits for a picture that
  // is queued.
  encoder.RequestKeyFrame();
  push(15);
  EXPECT_EQ(encoder.DroppedFrames(), 4u);
  {
    std::lock_guard<std::mutex> lock(encoder.mutex);
    encoder.open = true;
  }
  encoder.cond.notify_all();
  {
    std::unique_lock<std::mutex> lock(encoder.mutex);
    ASSERT_TRUE(encoder.cond.wait_for(lock, std::chrono::seconds(20),
                                      [&] { return encoder.seen.size() >= 11; }));
  }
  push(16);
  {
    std::unique_lock<std::mutex> lock(encoder.mutex);
    ASSERT_TRUE(encoder.cond.wait_for(lock, std::chrono::seconds(20),
                                      [&] { return encoder.seen.size() >= 12; }));
  }
  encoder.Stop();
  ASSERT_EQ(encoder.seen.size(), 12u);
  for (size_t i = 0; i < 11; ++i) {
    EXPECT_EQ(encoder.seen[i].pts, int64_t(i + 1));
    EXPECT_TRUE(encoder.seen[i].intact) << i;
    EXPECT_FALSE(encoder.seen[i].key) << i;
  }
  EXPECT_EQ(encoder.seen[11].pts, 16);
  EXPECT_TRUE(encoder.seen[11].key);
  EXPECT_TRUE(encoder.seen[11].intact);
}

TEST(NvencAvailability, NeedsAnNvidiaAdapterWithAnEncoderAndItsRuntime) {
  const platform::BackendKind before = platform::Backend::Kind();
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& machine = platform::fake::FakeSystemInfo::Instance();
  machine.Reset();
  machine.nvidiaEncoderRuntime = true;
  const platform::GpuAdapter intel{0x8086, 0x3E92, "Intel UHD 630"};
  const platform::GpuAdapter noEncoder{0x10DE, 0x1D01, "GeForce GT 1030"};
  const platform::GpuAdapter rtx{0x10DE, 0x2204, "GeForce RTX 3090"};
  const std::pair<std::vector<platform::GpuAdapter>, bool> cases[] = {
      {{}, false}, {{intel}, false}, {{intel, noEncoder}, false}, {{noEncoder, rtx}, true}};
  for (const auto& [gpus, found] : cases) {
    machine.gpus = gpus;
    EXPECT_EQ(HasNvidiaAdapter(), found) << gpus.size();
    EXPECT_EQ(IsNvencAvailable(), found) << gpus.size();
  }
  machine.nvidiaEncoderRuntime = false;
  EXPECT_FALSE(IsNvencAvailable()) << "runtime missing";
  machine.Reset();
  platform::Backend::Use(before);
}

TEST(VideoEncoderFactory, FallsBackToTheSoftwareEncoder) {
  videoencoderfactory::NvencState() = 0;
  videoencoderfactory::QsvState() = 0;
  std::unique_ptr<VideoEncoderInterface> encoder(CreateVideoEncoder());
  EXPECT_NE(dynamic_cast<X264Encoder*>(encoder.get()), nullptr);

  // Unprobed on a machine without NVIDIA adapters or Quick Sync: NVENC stays
  // unprobed (its availability is asked again next time), Quick Sync fails
  // its test-open once and for all.
  videoencoderfactory::NvencState() = -1;
  videoencoderfactory::QsvState() = -1;
  if (IsNvencAvailable()) GTEST_SKIP() << "this machine has NVENC";
  encoder.reset(CreateVideoEncoder());
  if (videoencoderfactory::QsvState() == 1) GTEST_SKIP() << "this machine has Quick Sync";
  EXPECT_NE(dynamic_cast<X264Encoder*>(encoder.get()), nullptr);
  EXPECT_EQ(videoencoderfactory::NvencState(), -1);
  EXPECT_EQ(videoencoderfactory::QsvState(), 0);
}
