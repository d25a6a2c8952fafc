#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "camera/deviceinfods.h"
#include "camera/dsvideocapturer.h"
#include "camera/sinkfilterds.h"
#include "camerafixtures.h"
#include "platform/backend.h"
#include "support/logcapture.h"

using platform::CameraPixelFormat;
using platform::fake::FakeCamera;
using platform::fake::FakeCameras;

namespace {

class CameraDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Backend::Use(platform::BackendKind::Fake);
    FakeCameras::Instance().Reset();
  }
  void TearDown() override { FakeCameras::Instance().Reset(); }

  static FakeCamera Camera(const std::string& id, const std::string& name,
                           std::vector<platform::CameraFormat> formats) {
    FakeCamera c;
    c.device = {id, name};
    c.formats = std::move(formats);
    return c;
  }
  static VideoCaptureCapability Choose(const std::string& id, const std::string& name) {
    std::unique_ptr<DeviceInfoDS> info(CreateDeviceInfoDS());
    return ChoosePreviewCapability(info.get(), id, name);
  }
};

TEST_F(CameraDevicesTest, ListsCamerasInOrderAndReportsAnEmptyList) {
  testsupport::LogCapture log;
  std::vector<DeviceInfo> list;
  EXPECT_FALSE(EnumVideoDevices(list));
  EXPECT_TRUE(log.Contains("pClassEnum is null"));

  FakeCameras::Instance().SetCameras(
      {Camera("/dev/video0", "Front", {}), Camera(std::string(300, 'x'), "Long id", {})});
  ASSERT_TRUE(EnumVideoDevices(list));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "Front");
  EXPECT_EQ(list[0].id, "/dev/video0");
  EXPECT_EQ(list[1].id.size(), 255u);
}

TEST_F(CameraDevicesTest, PreviewTakesTheWidestUsableCapabilityNeverYuy2) {
  FakeCameras::Instance().SetCameras({
      Camera("a", "Cam A",
             {camtest::Format(CameraPixelFormat::YUY2, 2560, 1440),
              camtest::Format(CameraPixelFormat::MJPEG, 1920, 1080),
              camtest::Format(CameraPixelFormat::H264, 1920, 1080),
              camtest::Format(CameraPixelFormat::H264, 1280, 720)}),
      Camera("b", "Cam B", {camtest::Format(CameraPixelFormat::YUY2, 1920, 1080)}),
      // NV12 entries of a device list are not taken; RGB24 is.
      Camera("c", "Cam C",
             {camtest::Format(CameraPixelFormat::NV12, 1920, 1080),
              camtest::Format(CameraPixelFormat::BGR24, 640, 480)}),
  });
  VideoCaptureCapability a = Choose("a", "Cam A");
  EXPECT_EQ(a.width, 1920);
  EXPECT_EQ(a.height, 1080);
  EXPECT_EQ(a.videoType, kVideoMJPEG);  // first of equal widths
  EXPECT_EQ(a.maxFPS, 30);

  EXPECT_EQ(Choose("b", "Cam B").width, 0);
  VideoCaptureCapability c = Choose("c", "Cam C");
  EXPECT_EQ(c.videoType, kVideoRGB24);
  EXPECT_EQ(c.width, 640);
  EXPECT_EQ(Choose("missing", "nobody").width, 0);
}

TEST_F(CameraDevicesTest, ReadsRatesAndRejectsBadInput) {
  auto zero = camtest::Format(CameraPixelFormat::MJPEG, 640, 480, {0});
  auto none = camtest::Format(CameraPixelFormat::MJPEG, 320, 240, {});
  none.averageInterval = 0;
  auto fast = camtest::Format(CameraPixelFormat::MJPEG, 160, 120, {333333, 166666, 500000});
  FakeCameras::Instance().SetCameras({Camera("a", "Cam", {zero, none, fast})});
  testsupport::LogCapture log;
  std::unique_ptr<DeviceInfoDS> info(CreateDeviceInfoDS());
  ASSERT_EQ(info->LoadCapabilities("a", "Cam"), 3);
  VideoCaptureCapability cap;
  ASSERT_EQ(info->GetCapabilityAt(0, cap), 0);
  EXPECT_EQ(cap.maxFPS, 30);  // from the average interval
  // Said once for this entry and once for the next, which lists no interval.
  const auto messages = log.Messages();
  const auto said = std::count_if(messages.begin(), messages.end(), [](const std::string& m) {
    return m.find("GetMaxAvailableFrameRate NOT SUPPORTED") != std::string::npos;
  });
  EXPECT_EQ(said, 2);
  ASSERT_EQ(info->GetCapabilityAt(1, cap), 0);
  EXPECT_EQ(cap.maxFPS, 0);
  ASSERT_EQ(info->GetCapabilityAt(2, cap), 0);
  EXPECT_EQ(cap.maxFPS, 60);
  EXPECT_EQ(info->GetCapabilityAt(3, cap), -1);
  EXPECT_EQ(info->GetCapabilityAt(-1, cap), -1);

  EXPECT_EQ(info->LoadCapabilities(nullptr, "Cam"), -1);
  EXPECT_EQ(info->LoadCapabilities(std::string(1025, 'a').c_str(), "Cam"), -1);
  EXPECT_TRUE(log.Contains("Device name too long"));
  EXPECT_EQ(info->LoadCapabilities("zz", "nobody"), -1);
  EXPECT_TRUE(log.Contains("Get device failed:zz"));

  FakeCamera unreadable = Camera("b", "Unreadable", {zero});
  unreadable.formatsResult = platform::Result::Failed;
  FakeCameras::Instance().SetCameras({unreadable});
  EXPECT_EQ(info->LoadCapabilities("b", "Unreadable"), -1);
  EXPECT_TRUE(log.Contains("Failed to GetNumberOfCapabilities"));
}

TEST_F(CameraDevicesTest, TheStoredCameraIsFoundByItsExactIdANodeCrossCheckedByName) {
  FakeCamera x = Camera("/dev/video1x", "Cam X", {});
  FakeCamera a = Camera("/dev/v4l/by-id/usb-Cam_A-video-index0", "Cam A", {});
  a.device.node = "/dev/video1";
  FakeCamera b = Camera("/dev/v4l/by-id/usb-Cam_B-video-index0", "Cam B", {});
  b.device.node = "/dev/video2";
  FakeCameras::Instance().SetCameras(
      {x, a, b, Camera("id5", "USB Camera 2", {}), Camera("id6", "USB Camera", {})});
  DeviceInfoDS info;
  const struct {
    const char* id;
    const char* name;
    const char* found;  // null: none
  } cases[] = {
      {"/dev/video1", "", "/dev/v4l/by-id/usb-Cam_A-video-index0"},  // older stored form, not video1x
      {"/dev/video1", "Cam A", "/dev/v4l/by-id/usb-Cam_A-video-index0"},
      {"/dev/video1", "Cam B", "/dev/v4l/by-id/usb-Cam_B-video-index0"},  // B's node before a replug
      {"/dev/video1", "Gone", nullptr},
      {"/dev/v4l/by-id/usb-Cam_B-video-index0", "Cam B", "/dev/v4l/by-id/usb-Cam_B-video-index0"},
      // The link still names the camera after its driver renamed it.
      {"/dev/v4l/by-id/usb-Cam_B-video-index0", "Old B", "/dev/v4l/by-id/usb-Cam_B-video-index0"},
      {"/dev/video1x", "Old X", nullptr},  // a node with no link is still checked
      {"/dev/video", "", nullptr},
      {"", "USB Camera", "id6"},
      {"", "USB", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << " / " << c.name);
    platform::CameraDevice device;
    ASSERT_EQ(info.FindDevice(c.id, c.name, &device), c.found != nullptr);
    if (c.found) EXPECT_EQ(device.id, c.found);
  }
}

class Counter : public VideoCaptureExternal {
 public:
  int32_t OnCapturedFrame(const uint8_t*, uint64_t length, const VideoCaptureCapability& cap,
                          int64_t) override {
    ++frames;
    last = cap;
    bytes = length;
    return 0;
  }
  int frames = 0;
  uint64_t bytes = 0;
  VideoCaptureCapability last;
};

TEST_F(CameraDevicesTest, SinkAgreesOnTheRequestedSizeAndDeliversOnlyWhileRunning) {
  Counter owner;
  CaptureSinkFilter sink(&owner);
  VideoCaptureCapability want;
  want.width = 1280;
  want.height = 720;
  sink.RequestCapability(want);
  EXPECT_EQ(sink.Connect({camtest::Format(CameraPixelFormat::MJPEG, 640, 480),
                          camtest::Format(CameraPixelFormat::YUY2, 1280, 720),
                          camtest::Format(CameraPixelFormat::MJPEG, 1280, 720)}),
            2);
  EXPECT_EQ(sink.ResultingCapability().videoType, kVideoMJPEG);
  EXPECT_EQ(sink.Connect({camtest::Format(CameraPixelFormat::YUY2, 1280, 720)}), -1);

  // A chosen type is streamed even when a raw format of the size comes first.
  const std::vector<platform::CameraFormat> rawFirst = {camtest::Format(CameraPixelFormat::I420, 1280, 720),
                                                        camtest::Format(CameraPixelFormat::MJPEG, 1280, 720),
                                                        camtest::Format(CameraPixelFormat::H264, 1280, 720)};
  want.videoType = kVideoH264;
  sink.RequestCapability(want);
  EXPECT_EQ(sink.Connect(rawFirst), 2);
  want.videoType = kVideoMJPEG;
  sink.RequestCapability(want);
  EXPECT_EQ(sink.Connect(rawFirst), 1);
  EXPECT_EQ(sink.ResultingCapability().videoType, kVideoMJPEG);
  EXPECT_EQ(sink.Connect({rawFirst[0]}), -1);
  want.videoType = kVideoUnknown;

  want.width = 640;
  want.height = 480;
  sink.RequestCapability(want);
  auto bottomUp = camtest::Format(CameraPixelFormat::BGR24, 640, 480);
  bottomUp.bottomUp = true;
  ASSERT_EQ(sink.Connect({bottomUp}), 0);
  EXPECT_EQ(sink.ResultingCapability().height, -480);
  EXPECT_EQ(sink.ResultingCapability().videoType, kVideoRGB24);

  const uint8_t sample[16] = {};
  sink.Receive(sample, sizeof(sample));
  sink.Pause();
  sink.Receive(sample, sizeof(sample));
  EXPECT_EQ(owner.frames, 0);
  sink.Run();
  sink.Receive(sample, sizeof(sample));
  EXPECT_EQ(owner.frames, 1);
  EXPECT_EQ(owner.bytes, 16u);
  EXPECT_EQ(owner.last.height, -480);
  sink.Stop();
  sink.Receive(sample, sizeof(sample));
  EXPECT_EQ(owner.frames, 1);
}

TEST_F(CameraDevicesTest, CapturerStreamsSamplesAndReportsFailures) {
  FakeCamera cam = Camera("a", "Cam", {camtest::Format(CameraPixelFormat::YUY2, 320, 240),
                                       camtest::Format(CameraPixelFormat::I420, 320, 240)});
  cam.samples[1] = {std::vector<uint8_t>(320 * 240 * 3 / 2, 7)};
  FakeCamera broken = Camera("b", "Broken", {camtest::Format(CameraPixelFormat::I420, 320, 240)});
  broken.openResult = platform::Result::Failed;
  FakeCameras::Instance().SetCameras({cam, broken});

  testsupport::LogCapture log;
  DsVideoCapturer none;
  EXPECT_FALSE(none.Init("x", "nobody"));
  EXPECT_TRUE(log.Contains("Failed to create capture filter.device is x"));

  std::atomic<int> frames{0};
  std::atomic<int> type{0};
  {
    DsVideoCapturer capturer;
    ASSERT_TRUE(capturer.Init("a", "Cam"));
    capturer.SetFrameCallback([&](const uint8_t* data, uint64_t length, const VideoCaptureCapability& c,
                                  int64_t) {
      if (length == 320 * 240 * 3 / 2 && data[0] == 7) ++frames;
      type = c.videoType;
    });
    VideoCaptureCapability want;
    want.width = 320;
    want.height = 240;
    want.maxFPS = 15;
    ASSERT_EQ(capturer.Start(want), 0);
    EXPECT_TRUE(capturer.CaptureStarted());
    EXPECT_EQ(FakeCameras::Instance().LastOpenedFormat().requestedInterval, 666666);  // the rate asked for
    for (int i = 0; i < 500 && frames < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(frames.load(), 3);
    EXPECT_EQ(type.load(), kVideoI420);
    EXPECT_EQ(FakeCameras::Instance().LastOpenedFormat().pixelFormat, CameraPixelFormat::I420);
    EXPECT_EQ(capturer.Stop(), 0);
    EXPECT_FALSE(capturer.CaptureStarted());
  }
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);

  DsVideoCapturer failing;
  ASSERT_TRUE(failing.Init("b", "Broken"));
  VideoCaptureCapability want;
  want.width = 320;
  want.height = 240;
  EXPECT_EQ(failing.Start(want), -1);
  EXPECT_TRUE(log.Contains("Set camera failed"));
}

}  // namespace
