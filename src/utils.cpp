#include "utils.h"

#include <errno.h>
#include <glog/logging.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QImage>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QPainter>
#include <QSharedMemory>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/process.h"
#include "platform/modules.h"
#include "platform/monitors.h"
#include "platform/shell.h"
#include "platform/windows.h"

QRect g_primaryScreenRect = GetScreenRect();

// --- text ---

std::wstring MultiByteToWide(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<int>(text.size())).toStdWString();
}

std::wstring AnsiToWide(const std::string& text) {
  return QString::fromLocal8Bit(text.c_str()).toStdWString();
}

std::string WideToMultiByte(const std::wstring& text) {
  return QString::fromStdWString(text).toLocal8Bit().toStdString();
}

std::string WideToUtf8(const std::wstring& text) {
  return QString::fromWCharArray(text.c_str()).toUtf8().toStdString();
}

std::string AnsiToUtf8(const std::string& text) { return WideToUtf8(AnsiToWide(text)); }

// --- folders and files ---

namespace {
int g_lastMakePathError = 0;
}

bool MakePath(const std::string& path) {
  std::string full = path;
  if (full.empty() || full.back() != '/') full += '/';
  g_lastMakePathError = 0;
  // Create every missing folder along the path.
  for (size_t pos = full.find('/', 1); pos != std::string::npos; pos = full.find('/', pos + 1)) {
    const std::string part = full.substr(0, pos);
    struct stat st;
    if (stat(part.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      g_lastMakePathError = EEXIST;
      return false;
    }
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      g_lastMakePathError = errno;
      return false;
    }
  }
  return true;
}

bool DirExists(const std::string& path) {
  std::string p = path;
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) {
  if (DirExists(path)) {
    LOG(INFO) << "dir has existed";
    return true;
  }
  if (MakePath(path)) return true;
  const int error = g_lastMakePathError;
  if (error == EEXIST) LOG(ERROR) << "文件夹已经存在";
  if (error == ENOENT || error == ENOTDIR)
    LOG(ERROR) << "路径不存在";
  else
    LOG(ERROR) << "error is " << error;
  return false;
}

std::string NewRecordFileName(const QString& folder) {
  const std::string native = QDir::toNativeSeparators(folder).toLocal8Bit().toStdString();
  if (!CreateDir(native)) return std::string();
  // A folder that exists but cannot be written is as good as missing.
  if (!QFileInfo(folder).isWritable()) {
    LOG(ERROR) << "save folder is not writable: " << folder.toStdString();
    return std::string();
  }
  return (folder + "/" + QDateTime::currentDateTime().toString("yyyyMMdd_hhmmss") + ".mp4")
      .toUtf8()
      .toStdString();
}

// --- modules ---

platform::ModuleHandle LoadSystemLibrary(const std::string& fileName) {
  return platform::LoadSystemLibrary(fileName);
}

platform::ModuleHandle LoadModule(const std::string& fileName) {
  return platform::LoadModule(fileName);
}

void UnloadModule(platform::ModuleHandle module) { platform::UnloadModule(module); }

// --- autorun ---

void SetAutoRun(const std::string& name) {
  const std::string wanted = DesktopEntryExec({platform::ProgramPath(), "/background"});
  const auto current = platform::ReadAutorunEntry(name);
  if (current && *current == wanted) return;
  if (platform::WriteAutorunEntry(name, wanted) != platform::Result::Ok)
    LOG(ERROR) << "cannot write the autorun entry " << name;
}

void DeleteAutoRun(const std::string& name) { platform::DeleteAutorunEntry(name); }

std::string DesktopEntryExec(const std::vector<std::string>& args) {
  // Characters that make an argument need quotes.
  static const std::string kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string exec;
  for (const std::string& arg : args) {
    if (!exec.empty()) exec += ' ';
    const bool quoted = arg.empty() || arg.find_first_of(kReserved) != std::string::npos;
    if (quoted) exec += '"';
    for (const char c : arg) {
      switch (c) {
        // Escaped for the quotes, then each backslash again for the file.
        case '"': case '`': case '$': exec += "\\\\"; exec += c; break;
        case '\\': exec += "\\\\\\\\"; break;
        case '%': exec += "%%"; break;  // no field code
        case '\n': exec += "\\n"; break;
        case '\t': exec += "\\t"; break;
        case '\r': exec += "\\r"; break;
        default: exec += c;
      }
    }
    if (quoted) exec += '"';
  }
  return exec;
}

namespace {

// The locks that decide which copy runs, each kept as long as its guard.
std::mutex g_instanceLocksMutex;
std::map<const QObject*, std::unique_ptr<platform::NamedLock>> g_instanceLocks;

}  // namespace

bool CreateInstanceGuard(QSharedMemory* guard) {
  // Copies decide by a lock that the system lets go when its holder ends,
  // however it ends. Only the copy holding it touches the segment, so two
  // copies starting together never race on it.
  auto lock = std::make_unique<platform::NamedLock>(guard->key().toStdString() + ".instance", false);
  if (lock->Busy()) return false;
  const platform::NamedLock* held = lock.get();
  {
    std::lock_guard<std::mutex> hold(g_instanceLocksMutex);
    g_instanceLocks[guard] = std::move(lock);
  }
  QObject::connect(guard, &QObject::destroyed, [guard] {
    std::lock_guard<std::mutex> hold(g_instanceLocksMutex);
    g_instanceLocks.erase(guard);
  });
  if (!held->Held()) LOG(WARNING) << "no instance lock: the segment alone decides";
  // The segment's system key is made from a key file that each new guard
  // creates afresh, so a segment left by a process that died (its key file
  // since removed) can turn up under it. Looking at a segment that no
  // process holds removes it; one that a running copy holds stays.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (guard->create(1, QSharedMemory::ReadWrite)) return true;
    QSharedMemory look(guard->key());
    if (look.attach(QSharedMemory::ReadOnly)) look.detach();
  }
  if (guard->error() == QSharedMemory::AlreadyExists) return false;
  // Without a segment the program still runs.
  LOG(ERROR) << "create the instance guard failed: " << guard->errorString().toStdString();
  return true;
}

// --- shell and system ---

void SetTaskbarVisible(bool visible) {
  const platform::Result result = platform::SetTaskbarVisible(visible);
  if (result == platform::Result::Unsupported) {
    static std::once_flag once;
    std::call_once(once, [] { LOG(WARNING) << "hiding the taskbar is not supported here"; });
  }
}

namespace {
// The desktop's folder view is out of reach: report it as the first step of
// the switch failing.
constexpr int32_t kNotImplemented = static_cast<int32_t>(0x80004001u);
}  // namespace

void SetDesktopIconsVisible(bool visible) {
  const platform::Result result = platform::SetDesktopIconsVisible(visible);
  if (result == platform::Result::Ok) return;
  ThrowIfFailed(kNotImplemented, result == platform::Result::Unsupported
                                     ? "Failed to find desktop window"
                                     : "SetCurrentFolderFlags failed");
}

void HibernateSystem() {
  if (platform::HibernateSystem() != platform::Result::Ok) LOG(ERROR) << "hibernate failed";
}

void ShutdownSystem() {
  if (platform::ShutdownSystem() != platform::Result::Ok) LOG(ERROR) << "exit window failed";
}

// --- display and windows ---

void QueryDisplayMode(QRect& rect) {
  const platform::Rect primary = platform::PrimaryMonitorRect();
  rect.setWidth(primary.Width());
  rect.setHeight(primary.Height());
}

QRect GetScreenRect() {
  QRect rect(0, 0, 0, 0);
  QueryDisplayMode(rect);
  return rect;
}

QRect GetScreenGeometry() { return g_primaryScreenRect; }

double GetDeviceScale(const std::string& deviceName) {
  int dpiX = 96, dpiY = 96;
  platform::GetMonitors().Dpi(deviceName, &dpiX, &dpiY);
  const int dpi = (dpiX + dpiY) / 2;
  const double scale = 1 + ((dpi - 96) / 24) * 0.25;
  return scale < 1.0 ? 1.0 : scale;
}

double GetScreenScale(int x) {
  static const std::vector<platform::MonitorInfo> monitors = platform::GetMonitors().List();
  for (const auto& m : monitors)
    if (m.rect.left <= x && x <= m.rect.right) return GetDeviceScale(m.deviceName);
  return 1.0;
}

bool IsWindowCovered(platform::WindowId window) { return platform::Windows().IsCovered(window); }

// --- watermark image ---

QFont WatermarkFont(const QFont& chosen, int height) {
  if (!chosen.family().isEmpty()) return chosen;
  QFont font;
  font.setPixelSize(std::max(1, height * 3 / 4));
  font.setFamily("Microsoft YaHei UI");
  font.setBold(true);
  return font;
}

QSize WatermarkTextSize(const QString& text, const QFont& font) {
  const QFontMetrics metrics(font);
  return QSize(metrics.horizontalAdvance(text), metrics.height());
}

QPoint WatermarkTextPos(const QSize& picture, const QSize& text, const QPointF* fractions,
                        double scale) {
  const double right = std::max(0.0, picture.width() - text.width() * scale);
  const double bottom = std::max(0.0, picture.height() - text.height() * scale);
  double x = right - 20 * scale;
  double y = bottom - 50 * scale;
  if (fractions) {
    x = picture.width() * fractions->x();
    y = picture.height() * fractions->y();
  }
  // Truncated; a fraction taken from a pixel gives that pixel back.
  const auto pixel = [](double v, double last) {
    return static_cast<int>(std::floor(std::clamp(v, 0.0, last) + 1e-6));
  };
  return QPoint(pixel(x, right), pixel(y, bottom));
}

bool SaveWatermarkImage(const QString& iconPath, const QString& text, const QFont& font,
                        const QColor& color, int width, int height, const QString& outputPath) {
  if (width <= 0 || height <= 0) {
    LOG(ERROR) << "watermark image size is invalid: " << width << "x" << height;
    return false;
  }
  QImage image(width, height, QImage::Format_ARGB32);
  image.fill(0);
  QPainter painter(&image);
  painter.setPen(QPen(color.isValid() ? color : QColor(Qt::red), 1));

  int iconWidth = 0;
  QImage icon;
  if (!iconPath.isEmpty() && icon.load(iconPath)) {
    icon = icon.scaledToHeight(height, Qt::SmoothTransformation);
    painter.drawImage(0, 0, icon);
    iconWidth = icon.width();
  }

  LOG(INFO) << "font is " << font.family().toStdString() << ",is bold " << font.bold();
  painter.setFont(font);
  const int textWidth = QFontMetrics(font).horizontalAdvance(text.left(50));
  painter.drawText(QRect(iconWidth + 10, 0, textWidth, height), Qt::AlignLeft | Qt::AlignVCenter,
                   text);
  painter.end();
  return image.save(outputPath);
}

QJsonObject ParseJson(const QString& text) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
  if (error.error != QJsonParseError::NoError) {
    LOG(ERROR) << "Parse json error " << static_cast<int>(error.error);
    return QJsonObject();
  }
  return doc.isObject() ? doc.object() : QJsonObject();
}

void ThrowIfFailed(int32_t code, const char* message) {
  if (code < 0) throw std::system_error(code, std::system_category(), message);
}

void ThrowIfFailedString(int32_t code, const std::string& message) {
  ThrowIfFailed(code, message.c_str());
}
