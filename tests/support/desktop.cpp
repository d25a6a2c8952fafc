#include "support/desktop.h"

#include <sys/prctl.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QProcess>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>

#include "support/mediaprobe.h"

#include <gtest/gtest.h>

namespace desktop {
namespace {

// Asked to end (as at log-out) when the test process dies, even without
// unwinding: a left-over copy would answer the next test's start.
class ChildProcess : public QProcess {
 protected:
  void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

bool Xdotool(const QStringList& args) {
  return QProcess::execute("xdotool", args) == 0;
}

QString Num(int v) { return QString::number(v); }

// Where the record page lies in the main window: right of the sidebar,
// below the title bar.
constexpr int kPageLeft = 130;
constexpr int kPageTop = 60;

}  // namespace

void DesktopTest::SetUp() {
  if (!testsupport::HaveDisplay() || !testsupport::HavePulse())
    GTEST_SKIP() << "needs the test desktop and sound server";
  if (!QCoreApplication::instance()) {
    static int argc = 1;
    static char name[] = "desktop_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
  }
  platform::Backend::Use(platform::BackendKind::X11);
  // What the cases judge is what a user meets on a desktop: a window manager
  // that draws frames and a tray host, not a bare server.
  const auto prints = [](const QString& program, const QStringList& args, const QByteArray& text) {
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(5000) && p.exitCode() == 0 && p.readAllStandardOutput().contains(text);
  };
  ASSERT_TRUE(prints("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}, "window id")) << "no window manager";
  ASSERT_TRUE(prints("xdotool", {"search", "--class", "trayer"}, "")) << "no tray host";
}

bool WaitFor(const std::function<bool()>& condition, int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}

void Sleep(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    if (QCoreApplication::instance())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(std::min<qint64>(10, std::max<qint64>(1, ms - timer.elapsed())));
  }
}

double Scale() {
  static const double scale = [] {
    // As the toolkit reckons it: the screen's pixels per inch over 96.
    QProcess xdpyinfo;
    xdpyinfo.start("xdpyinfo", QStringList());
    if (!xdpyinfo.waitForFinished(5000)) return 1.0;
    for (const QString& line : QString::fromUtf8(xdpyinfo.readAllStandardOutput()).split('\n')) {
      if (!line.contains("dimensions:")) continue;
      const QStringList parts = line.simplified().split(' ');
      const int pixels = parts.value(1).section('x', 0, 0).toInt();
      const double mm = parts.value(3).mid(1).section('x', 0, 0).toDouble();
      if (pixels > 0 && mm > 0) return pixels * 25.4 / mm / 96.0;
    }
    return 1.0;
  }();
  return scale;
}

QPoint Scaled(QPoint logical) {
  return QPoint(qRound(logical.x() * Scale()), qRound(logical.y() * Scale()));
}

void PointerTo(QPoint at) {
  // "--sync" waits for the pointer to move: from one pixel beside the point
  // it always does.
  Xdotool({"mousemove", Num(at.x() + 1), Num(at.y())});
  Xdotool({"mousemove", "--sync", Num(at.x()), Num(at.y())});
}

void Click(QPoint at, int button) {
  PointerTo(at);
  Xdotool({"click", Num(button)});
}

void DoubleClick(QPoint at) {
  PointerTo(at);
  Xdotool({"click", "--repeat", "2", "--delay", "80", "1"});
}

void Drag(QPoint from, QPoint to) {
  PointerTo(from);
  Xdotool({"mousedown", "1"});
  // Through a point on the way, as a hand does: a press and a jump to the
  // end is no drag to some widgets.
  PointerTo((from + to) / 2);
  Sleep(50);
  PointerTo(to);
  Sleep(50);
  Xdotool({"mouseup", "1"});
}

void Key(const QString& keys) { Xdotool({"key", "--clearmodifiers", keys}); }

void Type(const QString& text) { Xdotool({"type", "--delay", "30", text}); }

QImage Screenshot() { return GrabWithFfmpeg(QRect()); }

QImage GrabWithFfmpeg(const QRect& area) {
  const QString display = QString::fromLocal8Bit(qgetenv("DISPLAY"));
  QStringList args{"-v", "error", "-f", "x11grab", "-draw_mouse", "0"};
  if (!area.isNull()) args << "-video_size" << QString("%1x%2").arg(area.width()).arg(area.height());
  args << "-i" << (area.isNull() ? display : QString("%1+%2,%3").arg(display).arg(area.x()).arg(area.y()));
  args << "-frames:v" << "1" << "-f" << "image2pipe" << "-vcodec" << "bmp" << "-";
  QProcess ffmpeg;
  ffmpeg.start("ffmpeg", args);
  if (!ffmpeg.waitForFinished(15000)) return QImage();
  QImage image;
  image.loadFromData(ffmpeg.readAllStandardOutput(), "BMP");
  return image.convertToFormat(QImage::Format_RGB32);
}

QRect ClientArea(platform::WindowId window) {
  QProcess xwininfo;
  xwininfo.start("xwininfo", {"-id", QString::number(window)});
  if (!xwininfo.waitForFinished(5000)) return QRect();
  int x = 0, y = 0, w = 0, h = 0;
  for (const QString& line : QString::fromUtf8(xwininfo.readAllStandardOutput()).split('\n')) {
    const QString value = line.section(':', 1).trimmed();
    if (line.contains("Absolute upper-left X")) x = value.toInt();
    if (line.contains("Absolute upper-left Y")) y = value.toInt();
    if (line.trimmed().startsWith("Width:")) w = value.toInt();
    if (line.trimmed().startsWith("Height:")) h = value.toInt();
  }
  return QRect(x, y, w, h);
}

double MeanDifference(const QImage& a, const QImage& b) {
  if (a.size() != b.size() || a.isNull()) return -1.0;
  const QImage x = a.convertToFormat(QImage::Format_RGB32);
  const QImage y = b.convertToFormat(QImage::Format_RGB32);
  double sum = 0.0;
  for (int row = 0; row < x.height(); ++row) {
    const QRgb* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
    const QRgb* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
    for (int col = 0; col < x.width(); ++col)
      sum += std::abs(qRed(p[col]) - qRed(q[col])) + std::abs(qGreen(p[col]) - qGreen(q[col])) +
             std::abs(qBlue(p[col]) - qBlue(q[col]));
  }
  return sum / (3.0 * x.width() * x.height());
}

int PixelsUnlike(const QImage& picture, QRgb colour, int tolerance,
                 const std::vector<QRect>& leftOut, QRect* bounds) {
  if (bounds) *bounds = QRect();
  const QImage image = picture.convertToFormat(QImage::Format_RGB32);
  int count = 0;
  for (int row = 0; row < image.height(); ++row) {
    const QRgb* p = reinterpret_cast<const QRgb*>(image.constScanLine(row));
    for (int col = 0; col < image.width(); ++col) {
      if (std::abs(qRed(p[col]) - qRed(colour)) <= tolerance &&
          std::abs(qGreen(p[col]) - qGreen(colour)) <= tolerance &&
          std::abs(qBlue(p[col]) - qBlue(colour)) <= tolerance)
        continue;
      if (std::any_of(leftOut.begin(), leftOut.end(),
                      [&](const QRect& r) { return r.contains(col, row); }))
        continue;
      ++count;
      if (bounds) *bounds |= QRect(col, row, 1, 1);
    }
  }
  return count;
}

Recording Decode(const QString& path, bool keepPictures) {
  Recording recording;
  recording.probe = testsupport::ProbeMedia(
      path.toStdString(), [&](const uint8_t* bgra, int width, int height, double time) {
        recording.pictureTimes.push_back(time);
        if (keepPictures)
          recording.pictures.push_back(
              QImage(bgra, width, height, width * 4, QImage::Format_RGB32).copy());
      });
  // Every file the program finishes is an ordinary MP4, whatever stopped it.
  EXPECT_TRUE(recording.probe.ordinary) << path.toStdString() << " is not an ordinary MP4";
  if (const testsupport::StreamProbe* audio = recording.probe.Audio()) {
    const size_t window = static_cast<size_t>(audio->sampleRate / 10);
    for (size_t at = 0; window > 0 && at + window <= audio->sound.size(); at += window) {
      double sum = 0.0;
      for (size_t i = at; i < at + window; ++i) sum += double(audio->sound[i]) * audio->sound[i];
      recording.soundLevels.push_back(std::sqrt(sum / window));
    }
  }
  return recording;
}

namespace {

class HalvesWindow : public QWidget {
 public:
  HalvesWindow(QRgb left, QRgb right) : m_left(left), m_right(right) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const double ratio = devicePixelRatioF();
    p.scale(1 / ratio, 1 / ratio);  // in device pixels
    p.fillRect(0, 0, 960, 1080, QColor(m_left));
    p.fillRect(960, 0, 960, 1080, QColor(m_right));
  }

 private:
  QRgb m_left, m_right;
};

void ShowBackdrop(QWidget* window) {
  // A tool window: no window picker lists it.
  window->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint);
  window->setAttribute(Qt::WA_ShowWithoutActivating);
  window->setGeometry(0, 0, 1920, 1080);
  window->show();
  Sleep(300);
}

}  // namespace

Backdrop::Backdrop(QRgb colour) : m_window(std::make_unique<QWidget>()) {
  QPalette palette;
  palette.setColor(QPalette::Window, QColor(colour));
  m_window->setPalette(palette);
  m_window->setAutoFillBackground(true);
  ShowBackdrop(m_window.get());
}

Backdrop::Backdrop(QRgb left, QRgb right) : m_window(std::make_unique<HalvesWindow>(left, right)) {
  ShowBackdrop(m_window.get());
}

Backdrop::~Backdrop() = default;

TwoMonitors::TwoMonitors() {
  m_ok = QProcess::execute("xrandr", {"--setmonitor", "LEFT", "960/254x1080/286+0+0", "screen"}) == 0 &&
         QProcess::execute("xrandr", {"--setmonitor", "RIGHT", "960/254x1080/286+960+0", "none"}) == 0;
  Sleep(500);
}

TwoMonitors::~TwoMonitors() {
  QProcess::execute("xrandr", {"--delmonitor", "LEFT"});
  QProcess::execute("xrandr", {"--delmonitor", "RIGHT"});
  Sleep(500);
}

bool TwoMonitors::ReplugLeft() {
  return QProcess::execute("xrandr", {"--delmonitor", "LEFT"}) == 0 &&
         QProcess::execute("xrandr", {"--setmonitor", "LEFT", "960/254x1080/286+0+0", "screen"}) == 0;
}

Program::Program() {
  m_home = QString::fromStdString(m_dir.path());
  m_out = m_home + "/录像";
  QDir().mkpath(m_out);
  Configure(QString());
}

Program::~Program() {
  if (Running()) Quit();
}

void Program::Configure(const QString& ini) {
  QDir().mkpath(m_home + "/.config/Korvo");
  QFile conf(m_home + "/.config/Korvo/screenrecorder.conf");
  if (!conf.open(QIODevice::WriteOnly)) return;
  // The general group is "%General" in the file; its keys come first.
  QString text = ini;
  QString general = QString("filesaveurl=%1\n").arg(m_out);
  if (text.startsWith("[%General]\n")) {
    general += text.section('\n', 1).section("\n[", 0, 0) + "\n";
    const int next = text.indexOf("\n[");
    text = next < 0 ? QString() : text.mid(next + 1);
  }
  conf.write(("[%General]\n" + general + text).toUtf8());
}

void Program::SetOut(const QString& folder) {
  m_out = folder;
  QDir().mkpath(m_out);
}

void Program::SetEnv(const QString& name, const QString& value) { m_env << name << value; }

bool Program::Start(const QStringList& args) {
  auto process = std::make_unique<ChildProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (int i = 0; i + 1 < m_env.size(); i += 2) env.insert(m_env[i], m_env[i + 1]);
  env.insert("HOME", m_home);
  env.insert("XDG_CONFIG_HOME", m_home + "/.config");
  env.insert("XDG_DATA_HOME", m_home + "/.local/share");
  process->setProcessEnvironment(env);
  // Its errors are in its log too; a failure prints the log's end.
  process->setStandardErrorFile(m_home + "/stderr.txt");
  process->start(QString::fromStdString(testsupport::BuildDir()) + "/korvorec", args);
  if (!process->waitForStarted(5000)) return false;
  m_process = std::move(process);
  const bool hidden = args.value(0) == "/background";
  return WaitFor([&] {
    if (!hidden) return MainShown();
    return !Windows(false).empty();
  }) && (Sleep(500), true);
}

int Program::Quit() {
  if (!m_process) return -1;
  m_process->terminate();
  if (!m_process->waitForFinished(15000)) {
    m_process->kill();
    m_process->waitForFinished(5000);
    return -1;
  }
  return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

bool Program::Running() const { return m_process && m_process->state() != QProcess::NotRunning; }

qint64 Program::Pid() const { return m_process ? m_process->processId() : 0; }

QStringList Program::Files() const {
  QStringList files = QDir(m_out).entryList({"*.mp4"}, QDir::Files);
  files.sort();
  return files;
}

QStringList Program::AllFiles() const {
  QStringList files = QDir(m_out).entryList(QDir::Files);
  files.sort();
  return files;
}

QString Program::Log() const {
  QFile log(m_home + "/.local/share/ScreenRecorder/log/sr.INFO");
  if (!log.open(QIODevice::ReadOnly)) return QString();
  return QString::fromUtf8(log.readAll());
}

int Program::LogCount(const QString& text) const { return Log().count(text); }

double Program::LogTime(const QString& text, int nth) const {
  // "I20261209 18:18:19.123456 ..."
  for (const QString& line : Log().split('\n')) {
    if (!line.contains(text) || --nth > 0) continue;
    const QStringList clock = line.section(' ', 1, 1).split(':');
    if (clock.size() != 3) return -1;
    return clock[0].toInt() * 3600 + clock[1].toInt() * 60 + clock[2].toDouble();
  }
  return -1;
}

bool Program::WaitLog(const QString& text, int count, int ms) const {
  if (WaitFor([&] { return LogCount(text) >= count; }, ms)) return true;
  // What the user would have seen, for the one who reads the failure.
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  SaveScreenshot(test ? QString("%1.%2").arg(test->test_suite_name(), test->name()) : "waitlog");
  const QStringList lines = Log().split('\n');
  for (const QFileInfo& f : QDir(m_home + "/.local/share/ScreenRecorder/log").entryInfoList(QDir::Files | QDir::System))
    fprintf(stderr, "log folder: %s %lld -> %s\n", qPrintable(f.fileName()), f.size(), qPrintable(f.symLinkTarget()));
  ADD_FAILURE() << "waited for \"" << text.toStdString() << "\" x" << count << "; the log ends:\n"
                << lines.mid(std::max(0, lines.size() - 25)).join('\n').toStdString();
  return false;
}

bool Program::WaitRecording(int count, int ms) const { return WaitLog("Start to record", count, ms); }

bool Program::WaitStopped(int count, int ms) const {
  return WaitLog("ffmpegmuxer stopped", count, ms);
}

std::vector<platform::TopLevelWindow> Program::Windows(bool visibleOnly) const {
  std::vector<platform::TopLevelWindow> ours;
  if (!Running()) return ours;
  for (const auto& w : platform::Windows().EnumerateTopLevel())
    if (w.pid == Pid() && (w.visible || !visibleOnly)) ours.push_back(w);
  return ours;
}

platform::TopLevelWindow Program::WaitWindow(const QSize& logical, int ms) const {
  const QPoint size = Scaled(QPoint(logical.width(), logical.height()));
  platform::TopLevelWindow found;
  WaitFor(
      [&] {
        for (const auto& w : Windows())
          if (std::abs(w.rect.Width() - size.x()) < 4 && std::abs(w.rect.Height() - size.y()) < 4)
            found = w;
        return found.id != 0;
      },
      ms);
  return found;
}

platform::WindowId Program::MainWindow() const {
  for (const auto& w : Windows())
    if (w.title == "Korvo录屏" && w.rect.Width() > 700) return w.id;
  return 0;
}

int Program::Boxes() const {
  // A message box: a form of 399 x 199 that takes its width from its text.
  int boxes = 0;
  for (const auto& w : Windows())
    if (w.title == "Dialog" && std::abs(w.rect.Height() - Scaled(QPoint(0, 199)).y()) < 4) ++boxes;
  return boxes;
}

QPoint Program::AtMain(int x, int y) const {
  const platform::Rect r = platform::Windows().WindowBounds(MainWindow());
  return QPoint(r.left, r.top) + Scaled(QPoint(x, y));
}

QPoint Program::AtPage(int x, int y) const { return AtMain(kPageLeft + x, kPageTop + y); }

// The start button (71 x 81) and the stop button (61 x 61) of the record
// page's button row at y 438.
void Program::ClickStart() const { Click(AtPage(10 + 35, 438 + 40)); }
void Program::ClickStop() const { Click(AtPage(80 + 30, 438 + 10 + 30)); }

// The sidebar's two entries, 70 pixels each.
void Program::ShowList() const { Click(AtMain(60, kPageTop + 70 + 35)); }
void Program::ShowRecordPage() const { Click(AtMain(60, kPageTop + 35)); }

// The title bar's 设置 button (60 wide), left of help, minimise and close
// (40 each), on a 755 wide window.
QPoint Program::OpenSettings() const {
  Click(AtMain(755 - 120 - 30, 20));
  const platform::TopLevelWindow dialog = WaitWindow(QSize(656, 452));
  Sleep(300);
  return dialog.id ? QPoint(dialog.rect.left, dialog.rect.top) : QPoint();
}

void Program::SaveScreenshot(const QString& name) const {
  const QString dir = QString::fromStdString(testsupport::BuildDir()) + "/screenshots";
  QDir().mkpath(dir);
  Screenshot().save(dir + "/" + name + ".png");
}

}  // namespace desktop
