// How a user starts, pauses, stops, names and finds recordings on a desktop
// with a window manager, a compositor and a tray, through the real program.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QProcess>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <random>

#include "support/desktop.h"
#include "support/testsupport.h"

namespace {

using namespace desktop;

class ControlDesktop : public DesktopTest {};

// A window of another program that shows new noise 30 times a second: a
// high bit rate.
class NoiseWindow : public QWidget {
 public:
  NoiseWindow() {
    setWindowTitle("noise");
    setGeometry(100, 100, 800, 600);
    connect(&m_timer, &QTimer::timeout, this, [this] { update(); });
    m_timer.start(33);
    show();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QImage image(width() / 4, height() / 4, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) image.setPixel(x, y, m_random() | 0xFF000000u);
    QPainter(this).drawImage(rect(), image);
  }

 private:
  QTimer m_timer;
  std::minstd_rand m_random{7};
};

// The window picker (a 775 x 442 form) of the program, if it shows one.
std::vector<platform::TopLevelWindow> Pickers(const Program& program) {
  std::vector<platform::TopLevelWindow> pickers;
  for (const auto& w : program.Windows())
    if (std::abs(w.rect.Width() - Scaled(QPoint(775, 0)).x()) < 4) pickers.push_back(w);
  return pickers;
}

// Guards: a second start while a picker is open (a second picker, the
// first recording stopped or overwritten) and a file that takes the name of
// one already there.
TEST_F(ControlDesktop, OneStartAtATimeAndNoFileOverwritten) {
  NoiseWindow window;
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=3\nrecordaudio=3\n");
  // Files named as the recording would name itself in the next minute.
  const QDateTime now = QDateTime::currentDateTime();
  QStringList taken;
  for (int s = -2; s < 60; ++s) {
    taken << now.addSecs(s).toString("yyyyMMdd_hhmmss") + ".mp4";
    QFile file(program.out() + "/" + taken.back());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("kept");
  }
  ASSERT_TRUE(program.Start());
  Key("alt+9");
  ASSERT_TRUE(WaitFor([&] { return Pickers(program).size() == 1; })) << "no window picker";
  Key("alt+9");
  Sleep(1500);
  ASSERT_EQ(Pickers(program).size(), 1u) << "a second start opened a second picker";
  const platform::Rect picker = Pickers(program).front().rect;
  Click(QPoint(picker.left, picker.top) + Scaled(QPoint(100, 120)));
  Sleep(300);
  Click(QPoint(picker.left, picker.top) + Scaled(QPoint(520 + 46, 390 + 20)));
  ASSERT_TRUE(program.WaitRecording());
  Sleep(1500);
  Key("shift+s");
  ASSERT_TRUE(program.WaitStopped());
  Sleep(500);
  EXPECT_EQ(program.LogCount("Start to record"), 1);
  for (const QString& name : taken) {
    QFile file(program.out() + "/" + name);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString() << " is gone";
    EXPECT_EQ(file.readAll(), "kept") << name.toStdString() << " was overwritten";
  }
  QStringList made = program.Files();
  for (const QString& name : taken) made.removeAll(name);
  ASSERT_EQ(made.size(), 1) << "files: " << program.AllFiles().join(' ').toStdString();
  EXPECT_GT(Decode(program.out() + "/" + made.front(), false).pictureTimes.size(), 10u);
}

// The floating status bar's pause and stop buttons (a 232 x 54 form).
QPoint StatusBarButton(const Program& program, int x) {
  for (const auto& w : program.Windows())
    if (std::abs(w.rect.Width() - Scaled(QPoint(232, 0)).x()) < 4)
      return QPoint(w.rect.left, w.rect.top) + Scaled(QPoint(x, 26));
  return QPoint();
}

// Guards: a paused stretch in the file, segments far over their size, and a
// status bar whose buttons do not reach the recording.
TEST_F(ControlDesktop, PauseResumeSegmentsAndStopByTheStatusBar) {
  NoiseWindow window;
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=true\n"
      "[record]\nrecordtype=0\nrecordaudio=0\nfilesegment=2\nfssize=1\nvideoframerate=25\n");
  ASSERT_TRUE(program.Start());
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  Sleep(2000);
  ASSERT_FALSE(StatusBarButton(program, 23).isNull()) << "no status bar";
  Click(StatusBarButton(program, 23));  // pause
  ASSERT_TRUE(program.WaitLog("pause recording"));
  Sleep(2000);
  Click(StatusBarButton(program, 23));  // resume
  ASSERT_TRUE(program.WaitLog("Resume recording"));
  Sleep(2000);
  Click(StatusBarButton(program, 59));  // stop
  ASSERT_TRUE(program.WaitStopped());
  Sleep(1000);
  // The box that counts the files; Return closes it.
  Key("Return");
  const QStringList files = program.Files();
  ASSERT_GE(files.size(), 2);
  double total = 0;
  for (const QString& name : files) {
    const Recording r = Decode(program.out() + "/" + name, false);
    EXPECT_EQ(r.probe.decodeErrors, 0) << name.toStdString();
    total += r.probe.duration;
    EXPECT_LT(QFileInfo(program.out() + "/" + name).size(), 1.05 * 1024 * 1024)
        << name.toStdString() << " is far over its size";
  }
  // Four seconds recorded, two paused.
  EXPECT_NEAR(total, 4.0, 0.6);
}

// Guards: a rename that drops ".mp4" (the list no longer shows the file
// after a restart) and a list that loses the file.
TEST_F(ControlDesktop, RenameAfterStopAndTheListAfterARestart) {
  Program program;
  program.Configure("[%General]\nrecord_status_bar=false\n[record]\nrecordtype=0\nrecordaudio=3\n");
  ASSERT_TRUE(program.Start());
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  Sleep(1500);
  program.ClickStop();
  ASSERT_TRUE(program.WaitStopped());
  Sleep(800);
  // The list opens with the new file's name ready to type over.
  Type("clip");
  Key("Return");
  ASSERT_TRUE(WaitFor([&] { return program.AllFiles() == QStringList{"clip.mp4"}; }, 5000))
      << "files: " << program.AllFiles().join(' ').toStdString();

  ASSERT_EQ(program.Quit(), 0);
  ASSERT_TRUE(program.Start());
  program.ShowList();
  Sleep(500);
  // Its row's "..." cell, then 重命名 from the row menu by keys.
  Click(program.AtPage(5 + 189 + 110 + 90 + 170 + 20, 30 + 25));
  Sleep(500);
  Key("Down");
  Key("Down");
  Key("Return");
  Sleep(300);
  Type("again");
  Key("Return");
  EXPECT_TRUE(WaitFor([&] { return program.AllFiles() == QStringList{"again.mp4"}; }, 5000))
      << "files: " << program.AllFiles().join(' ').toStdString();
}

// Guards: a window hidden for the recording with no tray icon to bring it
// back.
TEST_F(ControlDesktop, HiddenToTheTrayWhileRecordingAndBack) {
  Program program;
  program.Configure(
      "[%General]\nrecord_status_bar=false\nhideWhenRecord=true\n"
      "[record]\nrecordtype=0\nrecordaudio=3\n");
  ASSERT_TRUE(program.Start());
  program.ClickStart();
  ASSERT_TRUE(program.WaitRecording());
  ASSERT_TRUE(WaitFor([&] { return !program.MainShown(); }, 5000)) << "not hidden";
  // The tray icon: a window of the program that the tray host holds.
  QRect icon;
  ASSERT_TRUE(WaitFor([&] {
    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--pid", QString::number(program.Pid())});
    search.waitForFinished(5000);
    for (const QByteArray& id : search.readAllStandardOutput().split('\n')) {
      if (id.isEmpty()) continue;
      const QRect area = ClientArea(id.toULong());
      if (area.width() > 0 && area.width() <= 48 && area.bottom() >= 1080 - 30) icon = area;
    }
    return !icon.isNull();
  }, 5000)) << "no tray icon while hidden";
  Click(icon.center());
  ASSERT_TRUE(WaitFor([&] { return program.MainShown(); }, 5000)) << "the tray icon did not bring it back";
  Sleep(500);
  program.ClickStop();
  ASSERT_TRUE(program.WaitStopped());
  ASSERT_EQ(program.Files().size(), 1);
}

}  // namespace
