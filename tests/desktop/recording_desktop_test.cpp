// What a user records on a desktop with a window manager, a compositor and
// a tray, through the real program, judged by the file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <algorithm>

#include "support/audiotools.h"
#include "support/desktop.h"
#include "support/testsupport.h"

namespace {

using namespace desktop;

class RecordingDesktop : public DesktopTest {};

// A framed window of another program, painted with a pattern whose blocks
// and one-pixel lines show any scaling or shift; while it moves, a bar steps
// across it 50 times a second.
class PatternWindow : public QWidget {
 public:
  explicit PatternWindow(const QSize& size) {
    setWindowTitle("pattern");
    resize(size);
    move(200, 150);
    connect(&m_timer, &QTimer::timeout, this, [this] {
      ++m_step;
      update();
    });
    show();
  }
  void Move(bool on) { on ? m_timer.start(20) : m_timer.stop(); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    for (int y = 0; y < height(); y += 20)
      for (int x = 0; x < width(); x += 20)
        p.fillRect(x, y, 20, 20, QColor((x * 7) % 256, (y * 5) % 256, ((x + y) * 3) % 256));
    p.setPen(Qt::white);
    for (int x = 5; x < width(); x += 50) p.drawLine(x, 0, x, height());
    p.fillRect(width() - 40, height() - 40, 40, 40, Qt::black);
    if (m_timer.isActive()) p.fillRect((m_step * 8) % width(), 0, 8, height(), Qt::white);
  }

 private:
  QTimer m_timer;
  int m_step = 0;
};

// Every 100 ms of the file holds the tone, from its first to its last.
void ExpectSoundThroughout(const Recording& r) {
  const testsupport::StreamProbe* audio = r.probe.Audio();
  ASSERT_NE(audio, nullptr);
  EXPECT_LE(audio->soundStart, 0.1);
  const size_t expected = static_cast<size_t>((r.probe.duration - 0.1) * 10);
  ASSERT_GE(r.soundLevels.size(), expected) << "sound ends before the file";
  std::string silent;
  for (size_t i = 0; i < expected; ++i)
    if (r.soundLevels[i] <= 0.05) silent += " " + std::to_string(i / 10.0).substr(0, 4);
  EXPECT_TRUE(silent.empty()) << "silent 100 ms from (s):" << silent;
}

// Nothing but the backdrop and the given windows in any picture: no box,
// dialog or hidden window of the program; with allowed > 50, one pointer
// but none of the places it left.
// At most `allowed` pixels of something else, and when `pointerSide` is
// given, all of them within one square of that side: one pointer, no trail.
void ExpectOnlyBackdrop(const Recording& r, const std::vector<QRect>& others, int allowed = 50,
                        int pointerSide = 0) {
  std::vector<QRect> leftOut = others;
  leftOut.push_back(kPanel);
  for (size_t i = 0; i < r.pictures.size(); ++i) {
    QRect bounds;
    const int unlike = PixelsUnlike(r.pictures[i], kBackground, 24, leftOut, &bounds);
    const bool spread =
        pointerSide > 0 && (bounds.width() > pointerSide || bounds.height() > pointerSide);
    if (unlike > allowed || spread) {
      r.pictures[i].save(QString::fromStdString(testsupport::BuildDir()) + "/screenshots/unlike.png");
      ADD_FAILURE() << unlike << " pixels of something else in " << bounds.width() << "x"
                    << bounds.height() << " at " << r.pictureTimes[i] << " s";
      return;
    }
  }
}

// Guards: a file whose sound or picture starts late or ends early, a main
// window that hides for the recording yet stays in its first picture, and
// pictures that keep what the screen or the drawn pointer no longer shows.
TEST_F(RecordingDesktop, FullScreenWithSpeakerSoundFromFirstToLast100ms) {
  Backdrop backdrop(kBackground);
  testsupport::TonePlayer tone("spk", 660, 12);
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=false\nhideWhenRecord=true\nrecordmouse=true\n"
      "[record]\nrecordtype=0\nrecordaudio=0\nvideoframerate=25\n");
  ASSERT_TRUE(program.Start());
  Sleep(1000);  // the tone flows
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  for (int step = 0; step < 30; ++step) {
    PointerTo(QPoint(300 + step * 40, 200 + step * 20));
    Sleep(100);
  }
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  ASSERT_EQ(program.Files().size(), 1);
  const Recording r = Decode(program.out() + "/" + program.Files().front());
  ASSERT_NE(r.probe.Video(), nullptr);
  EXPECT_EQ(r.probe.decodeErrors, 0);
  EXPECT_GT(r.probe.duration, 2.5);
  ASSERT_FALSE(r.pictureTimes.empty());
  EXPECT_LE(r.pictureTimes.front(), 0.1);
  EXPECT_GE(r.pictureTimes.back(), r.probe.duration - 0.2);
  ExpectSoundThroughout(r);
  ExpectOnlyBackdrop(r, {}, 400, 32);
}

// Guards: sound lost while the screen is still (the file used to start at
// its first changed picture, dropping what was heard before).
TEST_F(RecordingDesktop, StillScreenKeepsEverySoundUntilAWindowAppears) {
  Backdrop backdrop(kBackground);
  testsupport::TonePlayer tone("spk", 440, 16);
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=false\nhideWhenRecord=true\nrecordmouse=false\n"
      "[record]\nrecordtype=0\nrecordaudio=0\nvideoframerate=25\n");
  ASSERT_TRUE(program.Start());
  Sleep(1000);
  Key("alt+9");
  ASSERT_TRUE(program.WaitRecording());
  Sleep(8000);
  QWidget window;
  window.setStyleSheet("background: rgb(230, 60, 40)");
  window.setGeometry(600, 300, 300, 200);
  window.show();
  Sleep(1500);
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  ASSERT_EQ(program.Files().size(), 1);
  const Recording r = Decode(program.out() + "/" + program.Files().front());
  EXPECT_GT(r.probe.duration, 9.0);
  ExpectSoundThroughout(r);
  ASSERT_FALSE(r.pictures.empty());
  EXPECT_LE(r.pictureTimes.front(), 0.1);
  EXPECT_GT(PixelsUnlike(r.pictures.back(), kBackground, 24), 300 * 150)
      << "the window that appeared is not in the last picture";
  ExpectOnlyBackdrop(r, {QRect(560, 240, 380, 300)});
}

// The window picker (a 775 x 442 form): its first thumbnail, then OK.
void PickFirstWindow(const Program& program) {
  platform::TopLevelWindow picker;
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& w : program.Windows())
      if (std::abs(w.rect.Width() - Scaled(QPoint(775, 0)).x()) < 4) picker = w;
    return picker.id != 0;
  })) << "no window picker";
  Sleep(500);
  const QPoint origin(picker.rect.left, picker.rect.top);
  Click(origin + Scaled(QPoint(100, 120)));
  Sleep(300);
  Click(origin + Scaled(QPoint(520 + 46, 390 + 20)));
}

// Guards: a window recording stretched to the window manager's frame size
// while the picture is the client area.
TEST_F(RecordingDesktop, WindowRecordingEqualsTheClientAreaPixelForPixel) {
  Backdrop backdrop(kBackground);
  PatternWindow window(QSize(800, 600));
  Sleep(800);
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=false\nrecordmouse=false\n"
      "[record]\nrecordtype=3\nrecordaudio=3\nvideoframerate=25\nqp=-18\n");
  ASSERT_TRUE(program.Start());
  Key("alt+9");
  ASSERT_NO_FATAL_FAILURE(PickFirstWindow(program));
  ASSERT_TRUE(program.WaitRecording());
  window.raise();
  window.Move(true);
  Sleep(2000);
  window.Move(false);
  Sleep(500);
  const QImage grabbed = GrabWithFfmpeg(ClientArea(window.winId()));
  Sleep(500);
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  ASSERT_EQ(program.Files().size(), 1);
  const Recording r = Decode(program.out() + "/" + program.Files().front());
  ASSERT_NE(r.probe.Video(), nullptr);
  EXPECT_EQ(r.probe.Video()->width, 800);
  EXPECT_EQ(r.probe.Video()->height, 600);
  ASSERT_FALSE(r.pictures.empty());
  const double difference = MeanDifference(r.pictures.back(), grabbed);
  EXPECT_GE(difference, 0.0) << "sizes differ";
  EXPECT_LT(difference, 3.0);
  // The frame rate holds: 25 pictures a second while the window moves.
  const auto moving = std::count_if(r.pictureTimes.begin(), r.pictureTimes.end(),
                                    [](double t) { return t > 0.3 && t < 1.7; });
  EXPECT_GE(moving, 33) << "of 35 pictures from 0.3 to 1.7 s";
}

// The red outline the region picker draws around the selection, in a
// screenshot of the picker: the rows and columns holding long red lines,
// inside the red edge it also draws around the whole screen.
QRect RedOutline(const QImage& screen) {
  const auto red = [&](int x, int y) {
    // Drawn smooth: a line may be half red on each of two rows.
    const QRgb p = screen.pixel(x, y);
    return qRed(p) > 120 && qRed(p) > qGreen(p) + 60 && qRed(p) > qBlue(p) + 30;
  };
  const int w = screen.width(), h = screen.height();
  int left = w, top = h, right = -1, bottom = -1;
  for (int y = 1; y < h - 1; ++y)
    for (int x = 1, run = 0; x < w - 1; ++x)
      if ((run = red(x, y) ? run + 1 : 0) == 100) top = std::min(top, y), bottom = std::max(bottom, y);
  for (int x = 1; x < w - 1; ++x)
    for (int y = 1, run = 0; y < h - 1; ++y)
      if ((run = red(x, y) ? run + 1 : 0) == 100) left = std::min(left, x), right = std::max(right, x);
  return right < 0 || bottom < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

// Guards: a region file whose size differs from the region the picker showed,
// and the region's own frame inside the picture.
TEST_F(RecordingDesktop, RegionRecordingHasTheSizeThePickerShowed) {
  Backdrop backdrop(kBackground);
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=false\nrecordmouse=false\nhideWhenRecord=true\n"
      "[record]\nrecordtype=1\nrecordaudio=3\nvideoframerate=25\n"
      "region_rect=@Rect(500 300 401 301)\n");
  ASSERT_TRUE(program.Start());
  Key("alt+9");
  Sleep(1500);
  // Widen the selection by its bottom-right handle.
  Drag(Scaled(QPoint(898, 598)), Scaled(QPoint(1011, 701)));
  Sleep(300);
  PointerTo(QPoint(1900, 40));
  Sleep(300);
  const QRect shown = RedOutline(Screenshot());
  ASSERT_FALSE(shown.isNull()) << "no region picker";
  // Its tool bar's OK button, under the selection's right end.
  Click(QPoint(shown.right() + 1, shown.bottom() + 1) + Scaled(QPoint(-220 + 165, 25)));
  ASSERT_TRUE(program.WaitRecording());
  Sleep(2000);
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  ASSERT_EQ(program.Files().size(), 1);
  const Recording r = Decode(program.out() + "/" + program.Files().front());
  ASSERT_NE(r.probe.Video(), nullptr);
  // Within the outline's smoothing, even sizes.
  EXPECT_NEAR(r.probe.Video()->width, shown.width(), 2) << "picker showed " << shown.width();
  EXPECT_NEAR(r.probe.Video()->height, shown.height(), 2) << "picker showed " << shown.height();
  ExpectOnlyBackdrop(r, {});
}

// The box around the watermark's magenta text in a picture.
QRect MagentaText(const QImage& picture) {
  const QImage image = picture.convertToFormat(QImage::Format_RGB32);
  int left = image.width(), top = image.height(), right = -1, bottom = -1;
  for (int y = 0; y < image.height(); ++y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if (qRed(row[x]) < 180 || qBlue(row[x]) < 180 || qGreen(row[x]) > 90) continue;
      left = std::min(left, x), right = std::max(right, x);
      top = std::min(top, y), bottom = std::max(bottom, y);
    }
  }
  return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

// Guards: a watermark that lands elsewhere in the file than the full-screen
// preview showed it, or is cut off at the picture's edge.
TEST_F(RecordingDesktop, WatermarkLandsWhereThePreviewShowedIt) {
  Backdrop backdrop(kBackground);
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=false\nrecordmouse=false\nhideWhenRecord=true\n"
      "[record]\nrecordtype=0\nrecordaudio=3\nvideoframerate=25\nqp=-16\n"
      "[watermark]\ntext=KorvoMark\ncolor=#ff00ff\nfont=\"DejaVu Sans,36,-1,5,75,0,0,0,0,0\"\n"
      "pos=@PointF(0.62 0.91)\n");
  ASSERT_TRUE(program.Start());
  // 设置 in the title bar; the settings dialog's 水印 page; 全屏预览.
  Click(program.AtMain(604, 30));
  platform::TopLevelWindow dialog;
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& w : program.Windows())
      if (std::abs(w.rect.Width() - Scaled(QPoint(656, 0)).x()) < 4) dialog = w;
    return dialog.id != 0;
  })) << "no settings dialog";
  const QPoint origin(dialog.rect.left, dialog.rect.top);
  Click(origin + Scaled(QPoint(47, 63 + 5 * 40)));
  Sleep(300);
  Click(origin + Scaled(QPoint(131 + 410 + 46, 47 + 74 + 18)));
  Sleep(1500);
  PointerTo(QPoint(100, 100));
  Sleep(300);
  const QRect previewed = MagentaText(Screenshot());
  ASSERT_FALSE(previewed.isNull()) << "no full-screen preview";
  // A double click ends the preview and reopens the settings; Escape closes
  // them.
  DoubleClick(QPoint(100, 100));
  Sleep(1000);
  Key("Escape");
  Sleep(500);
  Key("alt+9");
  ASSERT_TRUE(program.WaitRecording());
  Sleep(1500);
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  ASSERT_EQ(program.Files().size(), 1);
  const Recording r = Decode(program.out() + "/" + program.Files().front());
  ASSERT_FALSE(r.pictures.empty());
  const QRect recorded = MagentaText(r.pictures.back());
  ASSERT_FALSE(recorded.isNull()) << "no watermark in the file";
  EXPECT_LE((recorded.topLeft() - previewed.topLeft()).manhattanLength(), 4)
      << "preview (" << previewed.x() << "," << previewed.y() << "), file (" << recorded.x()
      << "," << recorded.y() << ")";
  EXPECT_NEAR(recorded.width(), previewed.width(), 3);
  EXPECT_NEAR(recorded.height(), previewed.height(), 3);
  EXPECT_LT(recorded.bottom(), 1080 - 1) << "cut off at the bottom";
  // The settings just closed are not in it.
  ExpectOnlyBackdrop(r, {recorded.adjusted(-6, -6, 6, 6)});
}

}  // namespace
