#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QFontMetrics>
#include <QPointF>
#include <QRect>
#include <QSettings>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

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
#include "utils.h"

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

// Frames of a grey source (one second by default) recorded with the
// watermark text.
void RecordWithWatermark(const std::string& path, const std::string& text, int width = 320,
                         int height = 240, int frames = 30) {
  ScriptedSource source(width, height, frames, 33333);
  source.pace = std::chrono::milliseconds(10);
  ASSERT_TRUE(source.Init(CaptureParams{}));
  FfmpegMuxer muxer;
  MuxParams params;
  params.fps = 30;
  params.width = width;
  params.height = height;
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
    // No stored position (the default corner) and no font.
    QSettings stored(Settings::Instance()->FileName(), QSettings::IniFormat);
    stored.remove("watermark/pos");
    stored.remove("watermark/font");
  }

  // Written settings are flushed now: the store's own flush at process exit
  // runs after the text codecs are gone.
  void TearDown() override { Settings::Instance()->GetGeneralFilesaveurl(); }

  static testsupport::TempDir* s_dir;
  static QApplication* s_app;
};

testsupport::TempDir* WatermarkMakerTest::s_dir = nullptr;
QApplication* WatermarkMakerTest::s_app = nullptr;

TEST_F(WatermarkMakerTest, TextPositionRules) {
  EXPECT_EQ(WatermarkTextPos(QSize(1920, 1080), QSize(300, 20), nullptr), QPoint(1600, 1010));
  // A stored fraction of 0 is the picture's edge, not "no position".
  const QPointF leftEdge(0.0, 0.5);
  EXPECT_EQ(WatermarkTextPos(QSize(1920, 1080), QSize(300, 20), &leftEdge), QPoint(0, 540));
  // Past the corner, or on a picture too small for the margins, the text
  // stays whole on it; larger than the picture, at its top-left.
  const QPointF corner(0.9, 0.99);
  EXPECT_EQ(WatermarkTextPos(QSize(1920, 1080), QSize(300, 20), &corner), QPoint(1620, 1060));
  EXPECT_EQ(WatermarkTextPos(QSize(330, 60), QSize(300, 20), nullptr), QPoint(10, 0));
  EXPECT_EQ(WatermarkTextPos(QSize(200, 60), QSize(300, 20), nullptr), QPoint(0, 0));
  // A picture showing the recording at a quarter keeps the quarter-size box
  // whole, and a fraction read back from a pixel gives that pixel.
  const QPointF pixel(177.0 / 480, 0.5);
  EXPECT_EQ(WatermarkTextPos(QSize(480, 270), QSize(300, 20), &corner, 0.25), QPoint(405, 265));
  EXPECT_EQ(WatermarkTextPos(QSize(480, 270), QSize(300, 20), &pixel, 0.25), QPoint(177, 135));
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

// The box of the white text's ink in every picture of a 640 x 480
// recording; the grey picture is left as it was away from the text.
std::vector<QRect> RecordedInk(const std::string& text) {
  testsupport::TempDir out;
  Settings::Instance()->SetGeneralFilesaveurl(QString::fromStdString(out.path()));
  const std::string path = out.path() + "/marked.mp4";
  RecordWithWatermark(path, text, 640, 480, 10);
  std::vector<QRect> boxes;
  testsupport::ProbeMedia(path, [&](const uint8_t* bgra, int w, int h, double) {
    QRect box;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (bgra[(size_t(y) * w + x) * 4 + 1] > 0xA0) box |= QRect(x, y, 1, 1);
    boxes.push_back(box);
    EXPECT_NEAR(bgra[(size_t(5) * w + 5) * 4 + 1], 0x80, 8);
  });
  return boxes;
}

// The ink of the text drawn with the top-left corner of its box at (0, 0),
// where at least a quarter covered (as the recording's threshold).
QRect InkOf(const QString& text, const QFont& font) {
  const QFontMetrics metrics(font);
  QImage image(metrics.horizontalAdvance(text) + metrics.height(), 2 * metrics.height(),
               QImage::Format_ARGB32);
  image.fill(0);
  QPainter painter(&image);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QPoint(0, metrics.ascent()), text);
  painter.end();
  QRect ink;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (qAlpha(image.pixel(x, y)) > 0x40) ink |= QRect(x, y, 1, 1);
  return ink;
}

// The text itself lands at the stored fractions of the picture, or 20 px
// from its right and 50 px above its bottom, and whole: with the bold face
// sized to the picture when no font is chosen, at the top-left corner, and
// with a large font also at a place that would put it past the edges.
TEST_F(WatermarkMakerTest, RecordedTextLandsWholeWhereTheSettingsPutIt) {
  const QString text = "Marky";
  QFont fallback("Microsoft YaHei UI");
  fallback.setPixelSize(480 / 8 * 3 / 4);
  fallback.setBold(true);
  const QFont large("DejaVu Sans", 36);
  struct Case {
    QFont font;
    bool stored;
    QPointF pos;
  };
  for (const Case& c : {Case{fallback, false, {}}, Case{fallback, true, {0.25, 0.5}},
                        Case{fallback, true, {0.0, 0.0}}, Case{large, false, {}},
                        Case{large, true, {0.9, 0.95}}}) {
    QSettings stored(Settings::Instance()->FileName(), QSettings::IniFormat);
    stored.remove("watermark/pos");
    stored.remove("watermark/font");
    stored.sync();
    if (c.font != fallback) Settings::Instance()->SetWatermarkFont(c.font);
    if (c.stored) Settings::Instance()->SetWatermarkPos(c.pos.x(), c.pos.y());

    const QFontMetrics metrics(c.font);
    const QSize box(metrics.horizontalAdvance(text), metrics.height());
    QPoint at(640 - box.width() - 20, 480 - box.height() - 50);
    if (c.stored)
      at = QPoint(std::min(static_cast<int>(640 * c.pos.x()), 640 - box.width()),
                  std::min(static_cast<int>(480 * c.pos.y()), 480 - box.height()));
    const QRect ink = InkOf(text, c.font).translated(at);
    SCOPED_TRACE(c.font.toString().toStdString() + (c.stored ? " at stored place" : " by default"));
    ASSERT_TRUE(QRect(0, 0, 640, 480).contains(ink));
    const std::vector<QRect> boxes = RecordedInk(text.toStdString());
    ASSERT_GE(boxes.size(), 8u);
    for (const QRect& found : boxes) {
      EXPECT_NEAR(found.left(), ink.left(), 2);
      EXPECT_NEAR(found.top(), ink.top(), 2);
      EXPECT_NEAR(found.right(), ink.right(), 2);
      EXPECT_NEAR(found.bottom(), ink.bottom(), 2);
      if (::testing::Test::HasFailure()) break;
    }
  }
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
