#pragma once

#include <QEvent>

#include <string>

// What the settings dialog tells the main window. The dialog does not know the
// main window's class: it posts or sends these to it (utils_ui.h).

// Posted when the save folder changed: the recording list is filled again
// from the new folder.
class MediaFilesReloadEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(1001);

  MediaFilesReloadEvent() : QEvent(kType) {}
};

// Sent when a hot key was changed: the main window holds its keys again.
class HotKeysChangedEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(1003);

  HotKeysChangedEvent() : QEvent(kType) {}
};

// Sent to ask whether a recording runs; the main window fills it in.
class RecordingQueryEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(1004);

  RecordingQueryEvent() : QEvent(kType) {}

  bool recording = false;
  std::string cameraId;  // the running recording's camera; empty when none
};
