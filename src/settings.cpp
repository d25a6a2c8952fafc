#include "settings.h"

#include <glog/logging.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointF>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <cmath>
#include <mutex>
#include <set>

#include "nvencavailability.h"
#include "platform/shell.h"
#include "utils.h"

namespace {

Settings g_settings;

constexpr char kDefaultKeymouseFont[] = "Microsoft YaHei UI,18,-1,5,75,0,0,0,0,0,Bold";

// A stored value that cannot be used is reported once per key and value.
void LogBadValue(const QString& key, const QVariant& value, const QVariant& fallback) {
  static std::mutex mutex;
  static std::set<QString> reported;
  QString text = value.type() == QVariant::StringList ? value.toStringList().join(", ")
                                                       : value.toString();
  if (text.isEmpty() && value.type() != QVariant::String)
    text = QStringLiteral("<%1>").arg(QString::fromLatin1(value.typeName()));
  const QString id = key + "=" + text;
  std::lock_guard<std::mutex> lock(mutex);
  if (!reported.insert(id).second) return;
  LOG(ERROR) << "invalid setting " << key.toStdString() << "=\"" << text.toStdString()
             << "\", using " << fallback.toString().toStdString();
}

// The INI format writes a group named "general" as "%General" and reads it
// back as "General": keep that group under the spelling that survives.
QString StoredKey(const QString& key) {
  static const QString general = QStringLiteral("/general/");
  if (key.startsWith(general)) return QStringLiteral("/General/") + key.mid(general.size());
  return key;
}

// Writes through at once: nothing is left for the store's destructor, which
// runs after the application (and its text codecs) are gone.
void Store(QSettings* s, const QString& key, const QVariant& value) {
  s->setValue(StoredKey(key), value);
  s->sync();
}

// Reads an integer key and keeps it when it converts and lies in [lo, hi].
long long ReadRanged(QSettings* s, const QString& key, long long fallback, long long lo,
                     long long hi) {
  s->sync();
  const QVariant v = s->value(key);
  if (!v.isValid()) return fallback;
  bool ok = false;
  const long long n = v.toLongLong(&ok);
  if (!ok || n < lo || n > hi) {
    LogBadValue(key, v, fallback);
    return fallback;
  }
  return n;
}

bool ReadBool(QSettings* s, const QString& key, bool fallback) {
  s->sync();
  const QVariant v = s->value(StoredKey(key));
  if (!v.isValid()) return fallback;
  const QString text = v.toString().trimmed().toLower();
  if (v.type() == QVariant::Bool || text == "true" || text == "1") return v.toBool();
  if (text == "false" || text == "0") return false;
  LogBadValue(key, v, fallback);
  return fallback;
}

QString ReadString(QSettings* s, const QString& key) {
  s->sync();
  return s->value(StoredKey(key), QString()).toString();
}

QColor ReadColor(QSettings* s, const QString& key, const char* fallback) {
  QString text = ReadString(s, key);
  if (!text.isEmpty() && !QColor::isValidColor(text)) {
    LogBadValue(key, text, fallback ? fallback : "no colour");
    text.clear();
  }
  if (text.isEmpty() && fallback) text = fallback;
  QColor color;
  color.setNamedColor(text);
  return color;
}

// The stored font, or the fallback's (a default font when empty).
QFont ReadFont(QSettings* s, const QString& key, const QString& fallback) {
  const QString text = ReadString(s, key);
  QFont font;
  if (text.isEmpty() || !font.fromString(text)) {
    if (!text.isEmpty()) LogBadValue(key, text, fallback.isEmpty() ? "the default font" : fallback);
    font = QFont();
    if (!fallback.isEmpty()) font.fromString(fallback);
  }
  return font;
}

std::pair<int, int> ReadHotKey(QSettings* s, const QString& key, std::pair<int, int> fallback) {
  const QVariant v = s->value(key);
  const QStringList list = v.toStringList();
  if (list.size() != 2) {
    if (v.isValid())
      LogBadValue(key, v, QString("%1, %2").arg(fallback.first).arg(fallback.second));
    return fallback;
  }
  return {list[0].toInt(nullptr, 10), list[1].toInt(nullptr, 10)};
}

void WriteHotKey(QSettings* s, const QString& key, int modifiers, int k) {
  Store(s, key, QStringList{QString::number(modifiers), QString::number(k)});
}

int DefaultQp() {
  static const int qp = IsNvencAvailable() ? -32 : -20;
  return qp;
}

// /record/recordtype holds 0 (monitor), 1 (region) or 3 (window); files
// written so far keep these numbers. 2 is read as the monitor.
RecordMode RecordModeFromStored(long long stored) {
  if (stored == 1) return RecordMode::Region;
  if (stored == 3) return RecordMode::Window;
  return RecordMode::Monitor;
}

int RecordModeToStored(RecordMode mode) {
  switch (mode) {
    case RecordMode::Monitor: return 0;
    case RecordMode::Region: return 1;
    case RecordMode::Window: return 3;
  }
  return 0;
}

}  // namespace

Settings* Settings::Instance() { return &g_settings; }

Settings::Settings() = default;

Settings::~Settings() { delete m_settings; }

bool Settings::Init() {
  QCoreApplication::setOrganizationName("Korvo");
  QCoreApplication::setApplicationName("screenrecorder");
  delete m_settings;
  m_settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                             QCoreApplication::organizationName(),
                             QCoreApplication::applicationName());
  m_settings->setIniCodec("UTF8");
  // A damaged file is only read: it is written again once a setting changes.
  // Sections are parsed when first needed: all of them now.
  m_settings->allKeys();
  const std::string file = m_settings->fileName().toStdString();
  if (m_settings->status() == QSettings::FormatError)
    LOG(ERROR) << "settings file " << file
               << " is damaged: what cannot be read falls back to defaults";
  else if (m_settings->status() == QSettings::AccessError)
    LOG(ERROR) << "settings file " << file << " cannot be read: using the defaults";
  return m_settings != nullptr;
}

QString Settings::FileName() const { return m_settings ? m_settings->fileName() : QString(); }

std::string Settings::DataFolder() {
  std::string base = platform::AppDataFolder();
  if (base.empty()) {
    // Not the root of the file system: the user's own folder.
    LOG_FIRST_N(WARNING, 1) << "the application-data folder is unknown: using the home folder";
    base = QDir::homePath().toStdString();
  }
  return QString::fromStdString(base + "/ScreenRecorder/").toLocal8Bit().toStdString();
}

std::string Settings::LogFolder() { return DataFolder() + "log/"; }

std::string Settings::TempFolder() { return DataFolder() + "temp/"; }

QString Settings::DefaultSaveFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
}

// --- record ---

RecordMode Settings::GetRecordRecordtype() {
  return RecordModeFromStored(ReadRanged(m_settings, "/record/recordtype", 0, 0, 3));
}
void Settings::SetRecordRecordtype(RecordMode value) {
  Store(m_settings, "/record/recordtype", RecordModeToStored(value));
}

unsigned int Settings::GetRecordRecordresolution() {
  return static_cast<unsigned int>(ReadRanged(m_settings, "/record/recordresolution", 0, 0, 4));
}
void Settings::SetRecordRecordresolution(unsigned int value) {
  Store(m_settings, "/record/recordresolution", value);
}

unsigned int Settings::GetRecordRecordaudio() {
  // 0 speaker, 1 microphone, 2 both, 3 none.
  return static_cast<unsigned int>(ReadRanged(m_settings, "/record/recordaudio", 0, 0, 3));
}
void Settings::SetRecordRecordaudio(unsigned int value) {
  Store(m_settings, "/record/recordaudio", value);
}

double Settings::GetRecordVideoframerate() {
  m_settings->sync();
  const QVariant v = m_settings->value("/record/videoframerate", 25);
  bool ok = false;
  const double rate = v.toDouble(&ok);
  if (!ok || !std::isfinite(rate) || rate < 1 || rate > 120) {
    LogBadValue("/record/videoframerate", v, 25);
    return 25;
  }
  return rate;
}
void Settings::SetRecordVideoframerate(double value) {
  Store(m_settings, "/record/videoframerate", value);
}

unsigned int Settings::GetRecordAudiofrequency() {
  return static_cast<unsigned int>(
      ReadRanged(m_settings, "/record/audiofrequency", 48000, 8000, 192000));
}
void Settings::SetRecordAudiofrequency(int value) {
  Store(m_settings, "/record/audiofrequency", value);
}

unsigned int Settings::GetRecordAudiobitrate() {
  return static_cast<unsigned int>(ReadRanged(m_settings, "/record/audiobitrate", 256, 8, 1024));
}
void Settings::SetRecordAudiobitrate(int value) {
  Store(m_settings, "/record/audiobitrate", value);
}

int Settings::GetRecordQp() {
  m_settings->sync();
  if (!m_settings->contains("/record/qp")) return DefaultQp();
  const QVariant v = m_settings->value("/record/qp");
  bool ok = false;
  const int qp = v.toInt(&ok);
  // Stored negated, as the quality slider gives it: -51 to 0.
  if (!ok || qp < -51 || qp > 0) {
    const int fallback = DefaultQp();
    LogBadValue("/record/qp", v, fallback);
    return fallback;
  }
  return qp;
}
void Settings::SetRecordQp(int value) { Store(m_settings, "/record/qp", value); }

int Settings::GetRecordFilesegment() {
  return static_cast<int>(ReadRanged(m_settings, "/record/filesegment", 0, 0, 2));
}
void Settings::SetRecordFilesegment(int value) {
  Store(m_settings, "/record/filesegment", value);
}

unsigned int Settings::GetRecordFsduration() {
  return static_cast<unsigned int>(ReadRanged(m_settings, "/record/fsduration", 0, 0, 1000000));
}
void Settings::SetRecordFsduration(int value) { Store(m_settings, "/record/fsduration", value); }

unsigned int Settings::GetRecordFssize() {
  return static_cast<unsigned int>(ReadRanged(m_settings, "/record/fssize", 0, 0, 1000000));
}
void Settings::SetRecordFssize(int value) { Store(m_settings, "/record/fssize", value); }

bool Settings::GetRecordAutorun() { return ReadBool(m_settings, "/record/autorun", false); }
void Settings::SetRecordAutorun(bool value) { Store(m_settings, "/record/autorun", value); }

bool Settings::GetRecordCameraSwitch() {
  return ReadBool(m_settings, "/record/camera_switch", false);
}
void Settings::SetRecordCameraSwitch(bool value) {
  Store(m_settings, "/record/camera_switch", value);
}

bool Settings::GetRecordEnableRecordSchedule() {
  return ReadBool(m_settings, "/record/enable_record_schedule", false);
}
void Settings::SetRecordEnableRecordSchedule(bool value) {
  Store(m_settings, "/record/enable_record_schedule", value);
}

std::pair<int, int> Settings::GetRecordStartpausehotkey() {
  return ReadHotKey(m_settings, "/record/startpausehotkey",
                    {static_cast<int>(Qt::AltModifier), static_cast<int>(Qt::Key_9)});
}
void Settings::SetRecordStartpausehotkey(int modifiers, int key) {
  WriteHotKey(m_settings, "/record/startpausehotkey", modifiers, key);
}

std::pair<int, int> Settings::GetRecordStophotkey() {
  return ReadHotKey(m_settings, "/record/stophotkey",
                    {static_cast<int>(Qt::ShiftModifier), static_cast<int>(Qt::Key_S)});
}
void Settings::SetRecordStophotkey(int modifiers, int key) {
  WriteHotKey(m_settings, "/record/stophotkey", modifiers, key);
}

bool Settings::GetRecordRegionRect(QRect& rect) {
  m_settings->sync();
  rect = m_settings->value("/record/region_rect", QRect()).toRect();
  return !(rect.isEmpty() || rect.isNull());
}
void Settings::SetRecordRegionRect(const QRect& rect) {
  Store(m_settings, "/record/region_rect", rect);
}

bool Settings::GetRecordRecordTask(QDateTime& start, QDateTime& end, uint64_t& dur, int& op) {
  const QString text = ReadString(m_settings, "/record/record_task");
  if (text.isEmpty()) return false;
  // Read every second while a schedule is on: a bad text is told once.
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) {
    LogBadValue("/record/record_task", text, "no task");
    return false;
  }
  const QJsonObject object = ParseJson(text);
  if (object.isEmpty()) return false;
  start.setSecsSinceEpoch(static_cast<qint64>(object.value("start").toDouble()));
  end.setSecsSinceEpoch(static_cast<qint64>(object.value("end").toDouble()));
  const double d = object.value("dur").toDouble();
  dur = (std::isfinite(d) && d > 0) ? static_cast<uint64_t>(d) : 0;
  op = object.value("op").toInt();
  return true;
}
void Settings::SetRecordRecordTask(const QDateTime& start, const QDateTime& end, uint64_t dur,
                                   int op) {
  if (!start.isValid()) return;
  QJsonObject object;
  object.insert("start", static_cast<qint64>(start.toSecsSinceEpoch()));
  object.insert("end", end.isValid() ? static_cast<qint64>(end.toSecsSinceEpoch()) : 0);
  object.insert("dur", static_cast<double>(dur));
  object.insert("op", op);
  Store(m_settings, "/record/record_task", QString::fromUtf8(QJsonDocument(object).toJson()));
}

void Settings::GetRecordCamera(QString& unique, QString& description) {
  unique = ReadString(m_settings, "/record/camera_unique");
  description = ReadString(m_settings, "/record/camera_description");
}
void Settings::SetRecordCamera(const QString& unique, const QString& description) {
  Store(m_settings, "/record/camera_unique", unique);
  Store(m_settings, "/record/camera_description", description);
}

QString Settings::GetRecordSpeakerUnique() { return ReadString(m_settings, "/record/speaker_unique"); }
void Settings::SetRecordSpeakerUnique(const QString& value) {
  Store(m_settings, "/record/speaker_unique", value);
}

QString Settings::GetRecordMicUnique() { return ReadString(m_settings, "/record/mic_unique"); }
void Settings::SetRecordMicUnique(const QString& value) {
  Store(m_settings, "/record/mic_unique", value);
}

QString Settings::GetRecordScreencastToken() {
  return ReadString(m_settings, "/record/screencast_token");
}
void Settings::SetRecordScreencastToken(const QString& value) {
  Store(m_settings, "/record/screencast_token", value);
}

// --- general ---

QString Settings::GetGeneralFilesaveurl() {
  const QString folder = ReadString(m_settings, "/general/filesaveurl");
  if (folder.isEmpty()) return DefaultSaveFolder();
  if (QDir::isRelativePath(folder)) {
    LogBadValue("/general/filesaveurl", folder, DefaultSaveFolder());
    return DefaultSaveFolder();
  }
  // An existing folder that cannot be written is kept: the start of a
  // recording tells the user.
  const QFileInfo info(folder);
  if (info.exists() && (!info.isDir() || !info.isWritable()))
    LOG(WARNING) << "save folder is not writable: " << folder.toStdString();
  return folder;
}
void Settings::SetGeneralFilesaveurl(const QString& value) {
  Store(m_settings, "/general/filesaveurl", value);
}

bool Settings::GetGeneralHideWhenRecord() {
  return ReadBool(m_settings, "/general/hideWhenRecord", false);
}
void Settings::SetGeneralHideWhenRecord(bool value) {
  Store(m_settings, "/general/hideWhenRecord", value);
}

bool Settings::GetGeneralNocapWndWhenRecord() {
  return ReadBool(m_settings, "/general/nocapWndWhenRecord", false);
}
void Settings::SetGeneralNocapWndWhenRecord(bool value) {
  Store(m_settings, "/general/nocapWndWhenRecord", value);
}

bool Settings::GetGeneralHideTaskbar() { return ReadBool(m_settings, "/general/hide_taskbar", false); }
void Settings::SetGeneralHideTaskbar(bool value) {
  Store(m_settings, "/general/hide_taskbar", value);
}

bool Settings::GetGeneralHideDesktopIcon() {
  return ReadBool(m_settings, "/general/hide_desktop_icon", false);
}
void Settings::SetGeneralHideDesktopIcon(bool value) {
  Store(m_settings, "/general/hide_desktop_icon", value);
}

bool Settings::GetGeneralHidewhenclose() {
  return ReadBool(m_settings, "/general/hidewhenclose", true);
}
void Settings::SetGeneralHidewhenclose(bool value) {
  Store(m_settings, "/general/hidewhenclose", value);
}

bool Settings::GetGeneralRecordStatusBar() {
  return ReadBool(m_settings, "/general/record_status_bar", true);
}
void Settings::SetGeneralRecordStatusBar(bool value) {
  Store(m_settings, "/general/record_status_bar", value);
}

bool Settings::GetGeneralRecordmouse() { return ReadBool(m_settings, "/general/recordmouse", true); }
void Settings::SetGeneralRecordmouse(bool value) {
  Store(m_settings, "/general/recordmouse", value);
}

// --- watermark ---

QString Settings::GetWatermarkText() { return ReadString(m_settings, "/watermark/text"); }
void Settings::SetWatermarkText(const QString& value) {
  Store(m_settings, "/watermark/text", value);
}

QFont Settings::GetWatermarkFont() {
  // None stored (or none readable): a font without a family, for which the
  // watermark takes its own bold face.
  const QString text = ReadString(m_settings, "/watermark/font");
  QFont font;
  if (!text.isEmpty() && font.fromString(text)) return font;
  if (!text.isEmpty()) LogBadValue("/watermark/font", text, "the watermark's bold face");
  font = QFont();
  font.setFamily(QString());
  return font;
}
void Settings::SetWatermarkFont(const QFont& value) {
  Store(m_settings, "/watermark/font", value.toString());
}

QColor Settings::GetWatermarkColor() { return ReadColor(m_settings, "/watermark/color", nullptr); }
void Settings::SetWatermarkColor(const QColor& value) {
  Store(m_settings, "/watermark/color", value.name());
}

bool Settings::GetWatermarkPos(double& x, double& y) {
  m_settings->sync();
  // Absent only when never stored: (0, 0) is the top-left corner.
  const QVariant value = m_settings->value("/watermark/pos");
  if (!value.isValid()) return false;
  const QPointF pos = value.toPointF();
  const bool point = value.userType() == QMetaType::QPointF || value.userType() == QMetaType::QPoint;
  if (!point || !std::isfinite(pos.x()) || !std::isfinite(pos.y())) {
    LogBadValue("/watermark/pos", m_settings->value("/watermark/pos"), "no position");
    return false;
  }
  x = pos.x();
  y = pos.y();
  return true;
}
void Settings::SetWatermarkPos(double x, double y) {
  Store(m_settings, "/watermark/pos", QPointF(x, y));
}

// --- keymouse ---

bool Settings::GetKeymouseShowkeystroke() {
  return ReadBool(m_settings, "/keymouse/showkeystroke", false);
}
void Settings::SetKeymouseShowkeystroke(bool value) {
  Store(m_settings, "/keymouse/showkeystroke", value);
}

bool Settings::GetKeymouseShowcombinekey() {
  return ReadBool(m_settings, "/keymouse/showcombinekey", false);
}
void Settings::SetKeymouseShowcombinekey(bool value) {
  Store(m_settings, "/keymouse/showcombinekey", value);
}

bool Settings::GetKeymouseShowcommonkey() {
  return ReadBool(m_settings, "/keymouse/showcommonkey", false);
}
void Settings::SetKeymouseShowcommonkey(bool value) {
  Store(m_settings, "/keymouse/showcommonkey", value);
}

bool Settings::GetKeymouseHighlight() { return ReadBool(m_settings, "/keymouse/highlight", false); }
void Settings::SetKeymouseHighlight(bool value) {
  Store(m_settings, "/keymouse/highlight", value);
}

QColor Settings::GetKeymouseColor() { return ReadColor(m_settings, "/keymouse/color", "#f9f9f9"); }
void Settings::SetKeymouseColor(const QColor& value) {
  Store(m_settings, "/keymouse/color", value.name());
}

QColor Settings::GetKeymouseBackgroundcolor() {
  return ReadColor(m_settings, "/keymouse/backgroundcolor", "#000000");
}
void Settings::SetKeymouseBackgroundcolor(const QColor& value) {
  Store(m_settings, "/keymouse/backgroundcolor", value.name());
}

QColor Settings::GetKeymouseMouseColor() {
  return ReadColor(m_settings, "/keymouse/mouse_color", "#FFFF00");
}
void Settings::SetKeymouseMouseColor(const QColor& value) {
  Store(m_settings, "/keymouse/mouse_color", value.name());
}

QFont Settings::GetKeymouseFont() {
  return ReadFont(m_settings, "/keymouse/font", kDefaultKeymouseFont);
}
void Settings::SetKeymouseFont(const QFont& value) {
  Store(m_settings, "/keymouse/font", value.toString());
}

QString Settings::GetKeymouseDisplayscreen() {
  return ReadString(m_settings, "/keymouse/displayscreen");
}
void Settings::SetKeymouseDisplayscreen(const QString& value) {
  Store(m_settings, "/keymouse/displayscreen", value);
}

int Settings::GetKeymouseBackgroundopacity() {
  return static_cast<int>(ReadRanged(m_settings, "/keymouse/backgroundopacity", 40, 0, 100));
}
void Settings::SetKeymouseBackgroundopacity(int value) {
  Store(m_settings, "/keymouse/backgroundopacity", value);
}

int Settings::GetKeymouseHaloDiameter() {
  return static_cast<int>(ReadRanged(m_settings, "/keymouse/halo_diameter", 25, 1, 1000));
}
void Settings::SetKeymouseHaloDiameter(int value) {
  Store(m_settings, "/keymouse/halo_diameter", value);
}
