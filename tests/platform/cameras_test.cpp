#include <gtest/gtest.h>

#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/backend.h"
#include "platform/cameras.h"
#include "platform/linux/cameras_v4l2.h"
#include "support/testsupport.h"

namespace {

bool HaveVideoDevice() {
  glob_t g{};
  const bool found = glob("/dev/video*", 0, nullptr, &g) == 0 && g.gl_pathc > 0;
  globfree(&g);
  return found;
}

// Runs only where a real camera is attached.
TEST(V4l2Cameras, ListsFormatsAndStreamsSamples) {
  if (!HaveVideoDevice()) GTEST_SKIP() << "no /dev/video* device";
  platform::Backend::Use(platform::BackendKind::X11);
  auto& cameras = platform::GetCameras();
  const auto devices = cameras.List();
  if (devices.empty()) GTEST_SKIP() << "no capture device among /dev/video*";
  for (const auto& d : devices) {
    EXPECT_TRUE(d.id.rfind("/dev/video", 0) == 0 || d.id.rfind("/dev/v4l/by-id/", 0) == 0) << d.id;
    EXPECT_FALSE(d.name.empty());
  }
  std::vector<platform::CameraFormat> formats;
  ASSERT_EQ(cameras.Formats(devices[0].id, &formats), platform::Result::Ok);
  ASSERT_FALSE(formats.empty());
  platform::CameraFormat* known = nullptr;
  for (auto& f : formats) {
    EXPECT_GT(f.width, 0);
    EXPECT_GT(f.height, 0);
    if (!known && f.pixelFormat != platform::CameraPixelFormat::Unknown) known = &f;
  }
  if (!known) GTEST_SKIP() << "no format this program reads";
  if (!known->frameIntervals.empty()) known->requestedInterval = known->frameIntervals.back();
  platform::Result result;
  auto stream = cameras.Open(devices[0].id, *known, &result);
  ASSERT_TRUE(stream) << platform::ResultName(result);
  std::atomic<int> samples{0};
  ASSERT_EQ(stream->Start([&](const uint8_t* data, size_t length) {
    if (data && length > 0) ++samples;
  }),
            platform::Result::Ok);
  for (int i = 0; i < 500 && samples < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stream->Stop();
  EXPECT_GE(samples.load(), 2);
}

TEST(V4l2Cameras, ACameraIsNamedByItsByIdLinkWhereThereIsOne) {
  testsupport::TempDir dir;
  const std::string node = dir.path() + "/video3", other = dir.path() + "/video4",
                    links = dir.path() + "/by-id";
  for (const auto& f : {node, other}) fclose(fopen(f.c_str(), "w"));
  ASSERT_EQ(mkdir(links.c_str(), 0755), 0);
  // udev's links are relative.
  ASSERT_EQ(symlink("../video3", (links + "/usb-Cam_A_123-video-index0").c_str()), 0);
  EXPECT_EQ(platform::StableCameraId(node, links), links + "/usb-Cam_A_123-video-index0");
  EXPECT_EQ(platform::StableCameraId(other, links), other);
  EXPECT_EQ(platform::StableCameraId(node, dir.path() + "/none"), node);
}

TEST(V4l2Cameras, PaddedRowsArePackedTightAndDamagedBuffersSkipped) {
  using F = platform::CameraPixelFormat;
  struct Plane {
    size_t row, rows, stride;
  };
  const struct {
    F format;
    int w, h;
    size_t bytesPerLine;
    std::vector<Plane> planes;  // as the device lays them out
  } cases[] = {
      {F::I420, 6, 4, 8, {{6, 4, 8}, {3, 2, 4}, {3, 2, 4}}},
      {F::NV12, 6, 4, 8, {{6, 4, 8}, {6, 2, 8}}},
      {F::YUY2, 4, 3, 12, {{8, 3, 12}}},
      {F::BGR24, 3, 2, 16, {{9, 2, 16}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::CameraPixelFormatName(c.format));
    platform::CameraFormat format;
    format.pixelFormat = c.format;
    format.width = c.w;
    format.height = c.h;
    // Every picture byte tells its place in the packed sample; padding is 0xEE.
    std::vector<uint8_t> tight, padded;
    for (const auto& p : c.planes) {
      for (size_t r = 0; r < p.rows; ++r) {
        for (size_t x = 0; x < p.stride; ++x) {
          if (x < p.row) tight.push_back(uint8_t(tight.size()));
          padded.push_back(x < p.row ? tight.back() : 0xEE);
        }
      }
    }
    std::vector<uint8_t> scratch;
    size_t length = 0;
    platform::CameraBuffer buffer;
    buffer.data = padded.data();
    buffer.length = padded.size();
    buffer.bytesPerLine = c.bytesPerLine;
    const uint8_t* sample = platform::CameraSample(format, buffer, &scratch, &length);
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(sample, sample + length), tight);

    // The last row needs no padding after it, but every picture byte.
    buffer.length = padded.size() - (c.planes.back().stride - c.planes.back().row) - 1;
    EXPECT_EQ(platform::CameraSample(format, buffer, &scratch, &length), nullptr);
    buffer.length = padded.size();
    buffer.damaged = true;
    EXPECT_EQ(platform::CameraSample(format, buffer, &scratch, &length), nullptr);

    // Rows already tight go on as they are, and so do compressed samples.
    buffer = {tight.data(), tight.size(), c.planes[0].row, false};
    EXPECT_EQ(platform::CameraSample(format, buffer, &scratch, &length), tight.data());
    format.pixelFormat = F::MJPEG;
    buffer.bytesPerLine = 0;
    EXPECT_EQ(platform::CameraSample(format, buffer, &scratch, &length), tight.data());
    EXPECT_EQ(length, tight.size());
  }
}

TEST(V4l2Cameras, MissingDeviceFailsCleanly) {
  platform::Backend::Use(platform::BackendKind::X11);
  auto& cameras = platform::GetCameras();
  std::vector<platform::CameraFormat> formats;
  EXPECT_EQ(cameras.Formats("/dev/no-such-video", &formats), platform::Result::Failed);
  platform::Result result = platform::Result::Ok;
  platform::CameraFormat f;
  f.pixelFormat = platform::CameraPixelFormat::MJPEG;
  f.width = 640;
  f.height = 480;
  EXPECT_EQ(cameras.Open("/dev/no-such-video", f, &result), nullptr);
  EXPECT_EQ(result, platform::Result::Failed);
}

}  // namespace
