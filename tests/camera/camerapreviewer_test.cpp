#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "../mainwindow/guitestenv.h"
#include "camera/camerapreviewer.h"
#include "camera/h264hwdecoder.h"
#include "camera/videograph.h"
#include "camerafixtures.h"
#include "platform/backend.h"

extern "C" {
#include <libavutil/imgutils.h>
}
#include "support/logcapture.h"

using platform::CameraPixelFormat;
using platform::fake::FakeCamera;
using platform::fake::FakeCameras;

// Lets a case make the decoder refuse one packet, as a decoder does while it
// holds pictures not yet taken, or hold decoding up as a load spike does; and
// counts the IDR pictures it is given. Every call goes on to the library.
std::atomic<bool> g_refuseNextPacket{false};
std::atomic<bool> g_holdDecoding{false};
std::atomic<int> g_idrPackets{0};
extern "C" int avcodec_send_packet(AVCodecContext* context, const AVPacket* packet) {
  using Send = int (*)(AVCodecContext*, const AVPacket*);
  static const auto send = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "avcodec_send_packet"));
  while (g_holdDecoding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (packet && g_refuseNextPacket.exchange(false)) return AVERROR(EAGAIN);
  for (int i = 0; packet && i + 3 < packet->size; ++i) {
    const uint8_t* d = packet->data + i;
    if (d[0] == 0 && d[1] == 0 && d[2] == 1 && (d[3] & 0x1f) == 5) {
      ++g_idrPackets;
      break;
    }
  }
  return send(context, packet);
}

namespace {

constexpr int kW = 320;
constexpr int kH = 240;

class CameraPreviewerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    platform::Backend::Use(platform::BackendKind::Fake);
    guitest::App();
    FakeCameras::Instance().Reset();
  }
  void TearDown() override { FakeCameras::Instance().Reset(); }

  // One camera streaming the test picture in the given format.
  static FakeCamera Camera(CameraPixelFormat format, std::vector<std::vector<uint8_t>> samples,
                           bool bottomUp = false) {
    FakeCamera cam;
    cam.device = {"/dev/video7", "Fake Cam"};
    auto f = camtest::Format(format, kW, kH);
    f.bottomUp = bottomUp;
    cam.formats = {f};
    cam.samples[0] = std::move(samples);
    return cam;
  }
  static void Script(CameraPixelFormat format, std::vector<std::vector<uint8_t>> samples,
                     bool bottomUp = false) {
    FakeCameras::Instance().SetCameras({Camera(format, std::move(samples), bottomUp)});
  }

  static VideoCaptureCapability Cap(int type, int height = kH) {
    VideoCaptureCapability c;
    c.width = kW;
    c.height = height;
    c.videoType = type;
    return c;
  }

  // Runs the event loop until the window shows the picture or time runs out.
  static QImage WaitForPicture(QWidget* window) {
    QImage shot;
    for (int i = 0; i < 300; ++i) {
      QApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      shot = window->grab().toImage();
      if (camtest::Near(shot.pixelColor(shot.width() / 4, shot.height() / 2), QColor(255, 0, 0)) &&
          camtest::Near(shot.pixelColor(shot.width() * 3 / 4, shot.height() / 2), QColor(0, 0, 255)))
        break;
    }
    return shot;
  }

  static void ExpectPicture(const QImage& shot) {
    ASSERT_FALSE(shot.isNull());
    EXPECT_TRUE(camtest::Near(shot.pixelColor(shot.width() / 4, shot.height() / 2), QColor(255, 0, 0)));
    EXPECT_TRUE(camtest::Near(shot.pixelColor(shot.width() * 3 / 4, shot.height() / 2), QColor(0, 0, 255)));
    EXPECT_TRUE(camtest::Near(shot.pixelColor(shot.width() / 4, 2), QColor(255, 0, 0)));
  }
};

struct FormatCase {
  const char* label;
  CameraPixelFormat format;
  int type;
};

TEST_F(CameraPreviewerTest, EveryStreamedFormatIsDrawnIntoTheWindow) {
  const QImage picture = camtest::TestPicture(kW, kH);
  const FormatCase cases[] = {{"I420", CameraPixelFormat::I420, kVideoI420},
                              {"MJPEG", CameraPixelFormat::MJPEG, kVideoMJPEG},
                              {"BGR24", CameraPixelFormat::BGR24, kVideoRGB24},
                              {"UYVY", CameraPixelFormat::UYVY, kVideoUYVY},
                              {"NV12", CameraPixelFormat::NV12, kVideoNV12},
                              {"H264", CameraPixelFormat::H264, kVideoH264}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::vector<uint8_t>> samples;
    switch (c.format) {
      case CameraPixelFormat::I420: samples = {camtest::ToI420(picture)}; break;
      case CameraPixelFormat::MJPEG: samples = {camtest::ToMjpeg(picture)}; break;
      case CameraPixelFormat::BGR24: samples = {camtest::ToBgr24(picture, false)}; break;
      case CameraPixelFormat::UYVY: samples = {camtest::ToUyvy(picture)}; break;
      case CameraPixelFormat::NV12: samples = {camtest::ToNv12(picture)}; break;
      default: samples = camtest::ToH264(picture, 30); break;
    }
    ASSERT_FALSE(samples.empty());
    Script(c.format, samples);
    QWidget window;
    window.resize(kW, kH);
    window.show();
    CameraPreviewer previewer;
    ASSERT_TRUE(previewer.Init("/dev/video7", "Fake Cam", &window, Cap(c.type)));
    EXPECT_EQ(previewer.DeviceId(), "/dev/video7");
    ExpectPicture(WaitForPicture(&window));
  }
}

TEST_F(CameraPreviewerTest, QueuedSamplesOfOtherLayoutsAreConvertedAndDrawn) {
  const QImage picture = camtest::TestPicture(kW, kH);
  // YUY2 never comes out of a stream here, but a queued sample is drawn.
  Script(CameraPixelFormat::I420, {});
  const auto yuy2 = camtest::ToYuy2(picture);
  {
    QWidget window;
    window.resize(kW, kH);
    window.show();
    CameraPreviewer previewer;
    previewer.OnCapturedFrame(yuy2.data(), yuy2.size(), Cap(kVideoYUY2), 0);
    EXPECT_EQ(previewer.QueuedItems(), 1u);
    ASSERT_TRUE(previewer.Init("/dev/video7", "Fake Cam", &window, Cap(kVideoI420)));
    ExpectPicture(WaitForPicture(&window));
  }
  {
    // Raw pictures pile up only to a small bound while nothing draws them.
    CameraPreviewer previewer;
    for (int i = 0; i < 20; ++i) previewer.OnCapturedFrame(yuy2.data(), yuy2.size(), Cap(kVideoYUY2), 0);
    EXPECT_LE(previewer.QueuedItems(), 8u);
  }
  {
    // H.264 too; what is dropped goes up to the next picture that decoding
    // can begin with, so a long group of pictures goes whole.
    const auto units = camtest::ToH264(picture, 40, 100);
    ASSERT_GE(units.size(), 40u);
    CameraPreviewer previewer;
    for (const auto& u : units) previewer.OnCapturedFrame(u.data(), u.size(), Cap(kVideoH264), 0);
    EXPECT_EQ(previewer.QueuedItems(), 0u);
    previewer.OnCapturedFrame(units[1].data(), units[1].size(), Cap(kVideoH264), 0);
    EXPECT_EQ(previewer.QueuedItems(), 0u);
    previewer.OnCapturedFrame(units[0].data(), units[0].size(), Cap(kVideoH264), 0);
    EXPECT_EQ(previewer.QueuedItems(), 1u);
  }

  // A frame already in BGRA is drawn as it is.
  VideoRender render(nullptr);
  AVFrame* frame = av_frame_alloc();
  frame->width = kW;
  frame->height = kH;
  frame->format = AV_PIX_FMT_BGRA;
  ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
  for (int y = 0; y < kH; ++y) memcpy(frame->data[0] + y * frame->linesize[0], picture.constScanLine(y), kW * 4);
  render.Render(frame);
  EXPECT_EQ(render.LastImage(), picture);
  EXPECT_EQ(render.TextureWidth(), kW);
  av_frame_free(&frame);

  // A hardware-decoded picture comes down as NV12 with padded rows and is
  // brought to I420.
  const int w = 200, h = 120;
  const auto nv12 = camtest::ToNv12(camtest::TestPicture(w, h));
  AVFrame* downloaded = av_frame_alloc();
  downloaded->width = w;
  downloaded->height = h;
  downloaded->format = AV_PIX_FMT_NV12;
  ASSERT_EQ(av_frame_get_buffer(downloaded, 0), 0);
  av_image_copy_plane(downloaded->data[0], downloaded->linesize[0], nv12.data(), w, w, h);
  av_image_copy_plane(downloaded->data[1], downloaded->linesize[1], nv12.data() + w * h, w, w, h / 2);
  AVFrame* i420 = ConvertFrameToI420(downloaded);
  ASSERT_NE(i420, nullptr);
  EXPECT_EQ(i420->format, AV_PIX_FMT_YUV420P);
  render.Render(i420);
  const QImage shown = render.LastImage();
  EXPECT_TRUE(camtest::Near(shown.pixelColor(w / 4, h / 2), QColor(255, 0, 0)));
  EXPECT_TRUE(camtest::Near(shown.pixelColor(w * 3 / 4, h - 1), QColor(0, 0, 255)));
  av_frame_free(&i420);
  av_frame_free(&downloaded);
}

TEST_F(CameraPreviewerTest, H264ThatFellBehindWithNoIdrComingRestartsTheStream) {
  // The camera sends its IDR picture only when its stream starts.
  FakeCamera cam = Camera(CameraPixelFormat::H264, camtest::ToH264(camtest::TestPicture(kW, kH), 30, 1000));
  ASSERT_GE(cam.samples[0].size(), 30u);
  cam.loopFrom = 1;
  FakeCameras::Instance().SetCameras({cam});
  QWidget window;
  window.resize(kW, kH);
  window.show();
  CameraPreviewer previewer;
  g_idrPackets = 0;
  ASSERT_TRUE(previewer.Init("/dev/video7", "Fake Cam", &window, Cap(kVideoH264)));
  ExpectPicture(WaitForPicture(&window));
  ASSERT_EQ(g_idrPackets.load(), 1);

  // Decoding falls behind until the queue is dropped, and no IDR follows.
  g_holdDecoding = true;
  for (int i = 0; i < 1000 && previewer.QueuedItems() < 20; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int i = 0; i < 1000 && previewer.QueuedItems() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  g_holdDecoding = false;
  EXPECT_EQ(previewer.QueuedItems(), 0u);

  // The stream starts again and decoding resumes at its IDR.
  for (int i = 0; i < 1000 && g_idrPackets < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(g_idrPackets.load(), 2);
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 1);
}

TEST_F(CameraPreviewerTest, RgbRowsComeOutUprightEitherWay) {
  const QImage picture = camtest::TestPicture(kW, kH);
  // Top and bottom differ so that a flip shows.
  QImage marked = picture;
  {
    QPainter p(&marked);
    p.fillRect(0, 0, kW, kH / 4, QColor(0, 255, 0));
  }
  for (bool bottomUp : {true, false}) {
    SCOPED_TRACE(bottomUp ? "bottom-up" : "top-down");
    Script(CameraPixelFormat::BGR24, {camtest::ToBgr24(marked, bottomUp)}, bottomUp);
    QWidget window;
    window.resize(kW, kH);
    window.show();
    CameraPreviewer previewer;
    ASSERT_TRUE(previewer.Init("/dev/video7", "Fake Cam", &window, Cap(kVideoRGB24)));
    const QImage shot = WaitForPicture(&window);
    EXPECT_TRUE(camtest::Near(shot.pixelColor(kW / 2, 4), QColor(0, 255, 0)));
    EXPECT_TRUE(camtest::Near(shot.pixelColor(kW / 4, kH - 4), QColor(255, 0, 0)));
  }
}

TEST_F(CameraPreviewerTest, WindowsComeAndGoAndTheCaptureFollows) {
  Script(CameraPixelFormat::I420, {camtest::ToI420(camtest::TestPicture(kW, kH))});
  testsupport::LogCapture log;
  QWidget first, second;
  first.resize(kW, kH);
  second.resize(kW / 2, kH / 2);
  first.show();
  second.show();
  CameraPreviewer previewer;
  ASSERT_TRUE(previewer.Init("/dev/video7", "Fake Cam", &first, Cap(kVideoI420)));
  EXPECT_TRUE(previewer.Preview(true, &first));
  EXPECT_NE(previewer.FindGraph(&first), nullptr);
  ASSERT_TRUE(previewer.Preview(true, &second));
  ExpectPicture(WaitForPicture(&first));
  ExpectPicture(WaitForPicture(&second));
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 1);

  EXPECT_TRUE(previewer.Preview(false, &first));
  EXPECT_EQ(previewer.FindGraph(&first), nullptr);
  EXPECT_TRUE(previewer.IsRunning());
  EXPECT_TRUE(previewer.Preview(false, &second));
  EXPECT_FALSE(previewer.IsRunning());
  EXPECT_TRUE(log.Contains("All resource is destroyed"));
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);
  EXPECT_EQ(previewer.QueuedItems(), 0u);

  // A later start brings everything back.
  ASSERT_TRUE(previewer.Preview(true, &first));
  EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 1);
  ExpectPicture(WaitForPicture(&first));
}

TEST_F(CameraPreviewerTest, ASilentCameraDoesNotHoldUpTheLastWindow) {
  Script(CameraPixelFormat::I420, {});
  QWidget window;
  CameraPreviewer previewer;
  ASSERT_TRUE(previewer.Init("/dev/video7", "Fake Cam", &window, Cap(kVideoI420)));
  EXPECT_TRUE(previewer.Preview(false, &window));  // returns: the play thread ends without a frame
  EXPECT_FALSE(previewer.IsRunning());
}

TEST_F(CameraPreviewerTest, ACameraThatCannotStreamFailsAndShowsNothing) {
  testsupport::LogCapture log;
  QWidget window;
  {
    CameraPreviewer previewer;
    EXPECT_FALSE(previewer.Preview(true, &window));  // no capability yet: width 0
    EXPECT_TRUE(log.Contains("params is invalid"));
  }
  using platform::Result;
  struct Case {
    const char* label;
    const char* id;
    const char* name;
    Result formats, open, start;
    int width;
    const char* message;
  };
  const char* kStart = "start capturer inits failed";
  const Case cases[] = {
      {"not listed", "missing", "Nobody", Result::Ok, Result::Ok, Result::Ok, kW, "inits capturer failed"},
      {"busy", "/dev/video7", "Fake Cam", Result::Ok, Result::Failed, Result::Ok, kW, kStart},
      {"refuses to start", "/dev/video7", "Fake Cam", Result::Ok, Result::Ok, Result::Failed, kW, kStart},
      {"formats unreadable", "/dev/video7", "Fake Cam", Result::Failed, Result::Ok, Result::Ok, kW, kStart},
      {"size not offered", "/dev/video7", "Fake Cam", Result::Ok, Result::Ok, Result::Ok, 1920, kStart},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeCamera cam = Camera(CameraPixelFormat::I420, {camtest::ToI420(camtest::TestPicture(kW, kH))});
    cam.formatsResult = c.formats;
    cam.openResult = c.open;
    cam.startResult = c.start;
    FakeCameras::Instance().SetCameras({cam});
    testsupport::LogCapture caseLog;
    CameraPreviewer previewer;
    VideoCaptureCapability cap = Cap(kVideoI420);
    cap.width = c.width;
    EXPECT_FALSE(previewer.Init(c.id, c.name, &window, cap));
    EXPECT_TRUE(caseLog.Contains(c.message));
    EXPECT_FALSE(previewer.IsRunning());
    EXPECT_EQ(previewer.FindGraph(&window), nullptr);
    EXPECT_EQ(FakeCameras::Instance().RunningStreams(), 0);
  }
}

TEST_F(CameraPreviewerTest, ShortSamplesAreRefusedNotReadPastTheirEnd) {
  const std::vector<uint8_t> shortSample(100, 0);
  const struct {
    int type;
    int height;
  } cases[] = {{kVideoI420, kH}, {kVideoNV12, kH}, {kVideoRGB24, kH}, {kVideoRGB24, -kH},
               {kVideoUYVY, kH}, {kVideoYUY2, kH}, {kVideoMJPEG, kH}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " height " << c.height);
    testsupport::LogCapture log;
    CameraPreviewer previewer;
    previewer.OnCapturedFrame(shortSample.data(), shortSample.size(), Cap(c.type, c.height), 0);
    EXPECT_TRUE(log.Contains("Convert pixmap format failed"));
    EXPECT_EQ(previewer.QueuedItems(), 0u) << "queued with nothing to show";
  }
}

TEST_F(CameraPreviewerTest, H264DecoderWaitsForPicturesAndDecodesThem) {
  const auto units = camtest::ToH264(camtest::TestPicture(kW, kH), 3);
  ASSERT_GE(units.size(), 3u);
  H264HwDecoder decoder;
  ASSERT_TRUE(decoder.Init());
  // Parameter sets alone give no picture.
  const auto& first = units[0];
  size_t idr = 0;  // the first unit after the parameter sets
  for (size_t i = 0; i + 3 < first.size(); ++i)
    if (first[i] == 0 && first[i + 1] == 0 && first[i + 2] == 1 && (first[i + 3] & 0x1f) != 7 &&
        (first[i + 3] & 0x1f) != 8) {
      idr = i > 0 && first[i - 1] == 0 ? i - 1 : i;
      break;
    }
  ASSERT_GT(idr, 0u);
  EXPECT_EQ(decoder.Decode(first.data(), int(idr)), nullptr);
  testsupport::LogCapture log;
  EXPECT_NE(decoder.Decode(first.data() + idr, int(first.size() - idr)), nullptr);
  // A packet refused for "try again" is sent again, not lost.
  for (size_t i = 1; i < units.size(); ++i) {
    g_refuseNextPacket = i == 1;
    const AVFrame* frame = decoder.Decode(units[i].data(), int(units[i].size()));
    ASSERT_NE(frame, nullptr) << "unit " << i;
    EXPECT_EQ(frame->width, kW);
    EXPECT_EQ(frame->height, kH);
  }
  EXPECT_FALSE(log.Contains("av error"));
  // A unit that brings no picture shows none, not the last one again.
  EXPECT_EQ(decoder.Decode(first.data(), int(idr)), nullptr);
}

TEST_F(CameraPreviewerTest, H264ThatTheHardwareCannotTakeIsDecodedInSoftware) {
  const auto units = camtest::ToH264(camtest::TestPicture(kW, kH), 2);
  ASSERT_FALSE(units.empty());
  AVCodecContext* context = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
  int wanted = AV_PIX_FMT_DXVA2_VLD;  // a device format this decoder never offers
  context->opaque = &wanted;
  context->get_format = GetHwFormat;
  ASSERT_EQ(avcodec_open2(context, nullptr, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  packet->data = const_cast<uint8_t*>(units[0].data());
  packet->size = int(units[0].size());
  EXPECT_EQ(avcodec_send_packet(context, packet), 0);
  EXPECT_EQ(avcodec_receive_frame(context, frame), 0);
  EXPECT_EQ(frame->format, AV_PIX_FMT_YUV420P);
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
}

}  // namespace
