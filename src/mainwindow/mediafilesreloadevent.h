#pragma once

#include <QEvent>

// Posted to the main window when the save folder changed: the recording
// list is filled again from the new folder.
class MediaFilesReloadEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(1001);

  MediaFilesReloadEvent() : QEvent(kType) {}
};
