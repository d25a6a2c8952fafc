#pragma once

#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/windows.h"
#include "support/mediaprobe.h"
#include "support/testsupport.h"

// The real program on the test desktop (window manager, compositor, tray),
// driven through XTest as a user drives it and judged by what it leaves.
namespace desktop {

// The cases' common ground: the test desktop and sound server, an
// application object for the test's own windows, the real window system.
class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override;
};

// The still background the cases record on, and the tray host's panel
// along the bottom edge, which belongs to the desktop.
constexpr QRgb kBackground = qRgb(40, 90, 160);
const QRect kPanel(0, 1080 - 24, 1920, 24);

// Polls until condition holds (handling this process's events when it has
// an application object) or ms have passed.
bool WaitFor(const std::function<bool()>& condition, int ms = 15000);
void Sleep(int ms);  // handles this process's events meanwhile

// The toolkit's scale on the test display (device pixels per logical one):
// the program's forms are laid out in logical pixels.
double Scale();
QPoint Scaled(QPoint logical);

// xdotool on the test display.
void Click(QPoint at, int button = 1);
void DoubleClick(QPoint at);
void Drag(QPoint from, QPoint to);
void Key(const QString& keys);  // "alt+9", "Return"
void Type(const QString& text);
void PointerTo(QPoint at);

// The screen as the X server holds it.
QImage Screenshot();
// What ffmpeg's x11grab reads of a rectangle of the screen.
QImage GrabWithFfmpeg(const QRect& area);
// A client window's area on screen, inside the window manager's frame.
QRect ClientArea(platform::WindowId window);

// Mean absolute difference per channel over two pictures of one size;
// -1 when the sizes differ.
double MeanDifference(const QImage& a, const QImage& b);
// Pixels of picture that differ from colour by more than tolerance in a
// channel, outside the areas left out.
int PixelsUnlike(const QImage& picture, QRgb colour, int tolerance,
                 const std::vector<QRect>& leftOut = {}, QRect* bounds = nullptr);

// A decoded recording: the probe, every picture (or the ones picked) and
// per-100 ms sound levels of the first channel.
struct Recording {
  testsupport::MediaProbe probe;
  std::vector<QImage> pictures;
  std::vector<double> pictureTimes;
  std::vector<double> soundLevels;  // RMS per 100 ms from soundStart
};
Recording Decode(const QString& path, bool keepPictures = true);

// Fills the screen with one colour, above the desktop and below the program
// (a still background for the recordings); with two, the left and the right
// half of the screen (in device pixels) get one each.
class Backdrop {
 public:
  explicit Backdrop(QRgb colour);
  Backdrop(QRgb left, QRgb right);
  ~Backdrop();

 private:
  std::unique_ptr<QWidget> m_window;
};

// The screen split into two monitors, LEFT and RIGHT, while alive.
class TwoMonitors {
 public:
  TwoMonitors();
  ~TwoMonitors();
  bool ok() const { return m_ok; }
  // Takes LEFT away and back: the display server then lists it after RIGHT,
  // as when a monitor is plugged in again.
  bool ReplugLeft();

 private:
  bool m_ok = false;
};

// The program with a home folder and settings of its own.
class Program {
 public:
  Program();
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // INI text of the settings file (its sections as written, "[record]"...);
  // the save folder is set to out().
  void Configure(const QString& ini);
  // Another save folder for the next Configure.
  void SetOut(const QString& folder);
  // An environment variable for the program's next start.
  void SetEnv(const QString& name, const QString& value);
  // Starts and waits for the main window (shown, or present when hidden).
  bool Start(const QStringList& args = {});
  // Asks the program to end as a log-out does; its exit code, -1 if it
  // did not end.
  int Quit();
  bool Running() const;
  qint64 Pid() const;

  const QString& home() const { return m_home; }
  const QString& out() const { return m_out; }
  QStringList Files() const;          // *.mp4 names in out(), sorted
  QStringList AllFiles() const;       // every file name in out(), sorted
  QString Log() const;                // the INFO log
  int LogCount(const QString& text) const;
  // Seconds into the day of the log line holding text (its nth); -1 if none.
  double LogTime(const QString& text, int nth = 1) const;
  bool WaitLog(const QString& text, int count = 1, int ms = 15000) const;
  // Starts and stops of recordings by the log.
  bool WaitRecording(int count = 1, int ms = 15000) const;
  bool WaitStopped(int count = 1, int ms = 15000) const;

  // The program's top-level windows, topmost first.
  std::vector<platform::TopLevelWindow> Windows(bool visibleOnly = true) const;
  // Waits for a shown window of the program whose form has this (logical)
  // size; an empty one when none comes.
  platform::TopLevelWindow WaitWindow(const QSize& logical, int ms = 15000) const;
  platform::WindowId MainWindow() const;  // 0 when not shown
  bool MainShown() const { return MainWindow() != 0; }
  // The program's message boxes on screen.
  int Boxes() const;
  // A point of the main window given in its form's (logical) coordinates.
  QPoint AtMain(int x, int y) const;
  // A point of the record page (right of the sidebar, below the title bar).
  QPoint AtPage(int x, int y) const;
  void ClickStart() const;
  void ClickStop() const;
  void ShowList() const;
  void ShowRecordPage() const;
  // Opens the settings dialog from the title bar; its top-left corner, or a
  // null point when it does not come.
  QPoint OpenSettings() const;
  // Saves a screenshot into the build folder for people to look at.
  void SaveScreenshot(const QString& name) const;

 private:
  testsupport::TempDir m_dir;
  QString m_home, m_out;
  QStringList m_env;
  std::unique_ptr<QProcess> m_process;
};

}  // namespace desktop
