#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QPointF>
#include <QSettings>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include "recorder/ffmpegmuxer.h"
#include "recorder/scriptedsource.h"
#include "recorder/watermarkmaker.h"
#include "settings.h"
#include "support/logcapture.h"
#include "support/mediaprobe.h"
#include "support/testsupport.h"

namespace {

AVFrame* BlackFrame(int width, int height) {
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  av_frame_get_buffer(frame, 0);
  for (int y = 0; y < height; ++y) memset(frame->data[0] + y * frame->linesize[0], 16, width);
  for (int p = 1; p < 3; ++p)
    for (int y = 0; y < height / 2; ++y) memset(frame->data[p] + y * frame->linesize[p], 128, width / 2);
  frame->pts = 123456;
  return frame;
}

// Luma samples that are no longer black, from the given row down.
int MarkedSamples(const AVFrame* frame, int fromRow = 0) {
  int count = 0;
  for (int y = fromRow; y < frame->height; ++y)
    for (int x = 0; x < frame->width; ++x)
      if (frame->data[0][y * frame->linesize[0] + x] > 40) ++count;
  return count;
}

// One second of a grey 320 x 240 source recorded with the watermark text.
void RecordWithWatermark(const std::string& path, const std::string& text) {
  ScriptedSource source(320, 240, 30, 33333);
  source.pace = std::chrono::milliseconds(10);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FfmpegMuxer muxer;
  MuxParams params;
  params.fps = 30;
  params.width = 320;
  params.height = 240;
  params.qp = 20;
  params.watermarkText = text;
  ASSERT_EQ(muxer.Init(path.c_str(), &source, nullptr, 0, params), 0);
  ASSERT_EQ(muxer.Start(), 0);
  while (!source.done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  muxer.Stop();
}

class WatermarkMakerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The data folder has every character a filter description treats
    // specially.
    s_dir = new testsupport::TempDir;
    const std::string data = s_dir->path() + "/da:ta, [x]; it's=y";
    std::filesystem::create_directories(data);
    setenv("XDG_CONFIG_HOME", (s_dir->path() + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    if (!testsupport::HaveDisplay()) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "watermarkmaker_test";
    static char* argv[] = {name, nullptr};
    s_app = new QApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete s_app;
    delete s_dir;
  }
  void SetUp() override {
    ASSERT_TRUE(Settings::Instance()->Init());
    Settings::Instance()->SetWatermarkColor(QColor(Qt::white));
    // No stored position: the default corner.
    QSettings(Settings::Instance()->FileName(), QSettings::IniFormat).remove("watermark/pos");
  }

  // Written settings are flushed now: the store's own flush at process exit
  // runs after the text codecs are gone.
  void TearDown() override { Settings::Instance()->GetGeneralFilesaveurl(); }

  static testsupport::TempDir* s_dir;
  static QApplication* s_app;
};

testsupport::TempDir* WatermarkMakerTest::s_dir = nullptr;
QApplication* WatermarkMakerTest::s_app = nullptr;

TEST_F(WatermarkMakerTest, OverlayPositionRules) {
  int x = -1;
  int y = -1;
  WatermarkMaker::OverlayPosition(1920, 1080, 300, 20, nullptr, &x, &y);
  EXPECT_EQ(x, 1600);
  EXPECT_EQ(y, 1010);
  // A stored fraction of 0 is the picture's edge, not "no position".
  const QPointF leftEdge(0.0, 0.5);
  WatermarkMaker::OverlayPosition(1920, 1080, 300, 20, &leftEdge, &x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 540);
  const QPointF stored(0.25, 0.5);
  WatermarkMaker::OverlayPosition(1920, 1080, 300, 20, &stored, &x, &y);
  EXPECT_EQ(x, 480);
  EXPECT_EQ(y, 540);
  // A frame too small for the corner: the mark stays inside, at 0.
  WatermarkMaker::OverlayPosition(200, 60, 300, 20, nullptr, &x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
}

TEST_F(WatermarkMakerTest, MarksFramesFromAPathWithSpecialCharacters) {
  WatermarkMaker maker;
  ASSERT_TRUE(maker.MakeTextImage("水印 mark", 320, 45));
  // The dialog may write while recording; the capture thread keeps to what
  // was read at start (the bottom-right corner).
  Settings::Instance()->SetWatermarkPos(0.01, 0.01);
  const std::string image = Settings::TempFolder() + "textwater.png";
  ASSERT_TRUE(QFile::exists(QString::fromLocal8Bit(image.c_str())));
  // Special characters are escaped for both levels of the description.
  EXPECT_EQ(WatermarkMaker::EscapeFilterPath("/a:b,c[d]e;f'g=h"),
            "/a\\\\:b\\,c\\[d\\]e\\;f\\\\\\'g\\\\=h");

  AVFrame* in = BlackFrame(640, 360);
  for (int i = 0; i < 3; ++i) {
    AVFrame* out = nullptr;
    ASSERT_TRUE(maker.Process(in, &out));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->width, 640);
    EXPECT_EQ(out->height, 360);
    EXPECT_EQ(out->format, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(out->pts, in->pts);
    EXPECT_GT(MarkedSamples(out), 50);
    EXPECT_EQ(MarkedSamples(out, 180), MarkedSamples(out));
    av_frame_free(&out);
    in->pts += 33333;
  }
  av_frame_free(&in);
}

// A recording with a watermark carries the white text above its
// bottom-right corner (the default place), and the grey picture elsewhere.
TEST_F(WatermarkMakerTest, RecordingCarriesTheWatermark) {
  testsupport::TempDir out;
  Settings::Instance()->SetGeneralFilesaveurl(QString::fromStdString(out.path()));
  const std::string path = out.path() + "/marked.mp4";
  RecordWithWatermark(path, "MARK");
  int pictures = 0, marked = 0;
  const auto probe = testsupport::ProbeMedia(path, [&](const uint8_t* bgra, int w, int h, double) {
    ++pictures;
    int bright = 0;
    for (int y = h - 90; y < h - 40; ++y)
      for (int x = w / 2; x < w; ++x) bright += bgra[(size_t(y) * w + x) * 4 + 1] > 0xE0;
    const uint8_t* far = bgra + (size_t(20) * w + 20) * 4;
    if (bright > 20 && std::abs(far[1] - 0x80) < 8) ++marked;
  });
  ASSERT_TRUE(probe.opened);
  EXPECT_GE(pictures, 28);
  EXPECT_EQ(marked, pictures);
}

// Without its image the graph cannot be built: the failure is logged once
// and the writer records the frames unmarked.
TEST_F(WatermarkMakerTest, UnbuildableGraphLeavesTheVideoUnmarked) {
  testsupport::TempDir out;
  Settings::Instance()->SetGeneralFilesaveurl(QString::fromStdString(out.path()));
  const std::string image = Settings::TempFolder() + "textwater.png";
  {
    WatermarkMaker maker;
    maker.MakeTextImage("mark", 320, 45);
    std::filesystem::remove(image);
    testsupport::LogCapture log;
    AVFrame* in = BlackFrame(640, 360);
    AVFrame* marked = nullptr;
    EXPECT_FALSE(maker.Process(in, &marked));
    EXPECT_FALSE(maker.Process(in, &marked));
    EXPECT_EQ(marked, nullptr);
    av_frame_free(&in);
    const auto messages = log.Messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) {
                              return m.find("without watermark") != std::string::npos;
                            }),
              1);
  }

  // The temporary folder is a file: no image can be written.
  std::filesystem::remove_all(Settings::TempFolder());
  { std::ofstream(Settings::TempFolder().substr(0, Settings::TempFolder().size() - 1)) << "x"; }
  const std::string path = out.path() + "/marked.mp4";
  RecordWithWatermark(path, "mark");
  std::filesystem::remove(Settings::TempFolder().substr(0, Settings::TempFolder().size() - 1));
  const testsupport::MediaProbe probe = testsupport::ProbeMedia(path);
  ASSERT_TRUE(probe.opened);
  ASSERT_NE(probe.Video(), nullptr);
  EXPECT_GE(probe.Video()->decodedFrames, 28);
}

}  // namespace
