#pragma once

#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QRect>
#include <QString>

#include <cstdint>
#include <string>
#include <utility>

#include "recordmode.h"

class QSettings;

// The process-wide store of user preferences (an INI file through QSettings)
// and the source of the program's data folders. Getters fall back to each
// key's default; values that would feed arithmetic or paths are validated.
class Settings {
 public:
  static Settings* Instance();

  Settings();
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  bool Init();

  // Folders end with a slash.
  static std::string DataFolder();
  static std::string LogFolder();
  static std::string TempFolder();
  static QString DefaultSaveFolder();
  // Whether the capture library can record; answered by the capture sources
  // (videocapture/capturerfactory.cpp).
  static bool IsGlanceSupported();

  RecordMode GetRecordRecordtype();
  void SetRecordRecordtype(RecordMode value);
  unsigned int GetRecordRecordresolution();
  void SetRecordRecordresolution(unsigned int value);
  unsigned int GetRecordRecordaudio();
  void SetRecordRecordaudio(unsigned int value);
  double GetRecordVideoframerate();
  void SetRecordVideoframerate(double value);
  unsigned int GetRecordAudiofrequency();
  void SetRecordAudiofrequency(int value);
  unsigned int GetRecordAudiobitrate();
  void SetRecordAudiobitrate(int value);
  int GetRecordQp();
  void SetRecordQp(int value);
  int GetRecordFilesegment();
  void SetRecordFilesegment(int value);
  unsigned int GetRecordFsduration();
  void SetRecordFsduration(int value);
  unsigned int GetRecordFssize();
  void SetRecordFssize(int value);
  bool GetRecordAutorun();
  void SetRecordAutorun(bool value);
  bool GetRecordCameraSwitch();
  void SetRecordCameraSwitch(bool value);
  bool GetRecordEnableRecordSchedule();
  void SetRecordEnableRecordSchedule(bool value);
  // {modifiers, key}
  std::pair<int, int> GetRecordStartpausehotkey();
  void SetRecordStartpausehotkey(int modifiers, int key);
  std::pair<int, int> GetRecordStophotkey();
  void SetRecordStophotkey(int modifiers, int key);
  bool GetRecordRegionRect(QRect& rect);
  void SetRecordRegionRect(const QRect& rect);
  bool GetRecordRecordTask(QDateTime& start, QDateTime& end, uint64_t& dur, int& op);
  void SetRecordRecordTask(const QDateTime& start, const QDateTime& end, uint64_t dur, int op);
  void GetRecordCamera(QString& unique, QString& description);
  void SetRecordCamera(const QString& unique, const QString& description);
  QString GetRecordSpeakerUnique();
  void SetRecordSpeakerUnique(const QString& value);
  QString GetRecordMicUnique();
  void SetRecordMicUnique(const QString& value);
  // A Wayland desktop's token for the screen the user chose to share.
  QString GetRecordScreencastToken();
  void SetRecordScreencastToken(const QString& value);

  QString GetGeneralFilesaveurl();
  void SetGeneralFilesaveurl(const QString& value);
  bool GetGeneralHideWhenRecord();
  void SetGeneralHideWhenRecord(bool value);
  bool GetGeneralNocapWndWhenRecord();
  void SetGeneralNocapWndWhenRecord(bool value);
  bool GetGeneralHideTaskbar();
  void SetGeneralHideTaskbar(bool value);
  bool GetGeneralHideDesktopIcon();
  void SetGeneralHideDesktopIcon(bool value);
  bool GetGeneralHidewhenclose();
  void SetGeneralHidewhenclose(bool value);
  bool GetGeneralRecordStatusBar();
  void SetGeneralRecordStatusBar(bool value);
  bool GetGeneralRecordmouse();
  void SetGeneralRecordmouse(bool value);

  QString GetWatermarkText();
  void SetWatermarkText(const QString& value);
  QFont GetWatermarkFont();  // without a family when none is stored
  void SetWatermarkFont(const QFont& value);
  QColor GetWatermarkColor();
  void SetWatermarkColor(const QColor& value);
  bool GetWatermarkPos(double& x, double& y);
  void SetWatermarkPos(double x, double y);

  bool GetKeymouseShowkeystroke();
  void SetKeymouseShowkeystroke(bool value);
  bool GetKeymouseShowcombinekey();
  void SetKeymouseShowcombinekey(bool value);
  bool GetKeymouseShowcommonkey();
  void SetKeymouseShowcommonkey(bool value);
  bool GetKeymouseHighlight();
  void SetKeymouseHighlight(bool value);
  QColor GetKeymouseColor();
  void SetKeymouseColor(const QColor& value);
  QColor GetKeymouseBackgroundcolor();
  void SetKeymouseBackgroundcolor(const QColor& value);
  QColor GetKeymouseMouseColor();
  void SetKeymouseMouseColor(const QColor& value);
  QFont GetKeymouseFont();
  void SetKeymouseFont(const QFont& value);
  QString GetKeymouseDisplayscreen();
  void SetKeymouseDisplayscreen(const QString& value);
  int GetKeymouseBackgroundopacity();
  void SetKeymouseBackgroundopacity(int value);
  int GetKeymouseHaloDiameter();
  void SetKeymouseHaloDiameter(int value);

  // The file behind the store (for the log and tests).
  QString FileName() const;

 private:
  QSettings* m_settings = nullptr;
};
