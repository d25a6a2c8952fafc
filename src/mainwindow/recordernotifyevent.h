#pragma once

#include <QEvent>

// Posted to the main window from the recorder's threads, so that the main
// window reacts to the notification on the GUI thread.
class RecorderNotifyEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(1002);

  RecorderNotifyEvent(int type, int code) : QEvent(kType), m_type(type), m_code(code) {}

  int NotifyType() const { return m_type; }
  int ErrorCode() const { return m_code; }

 private:
  int m_type;
  int m_code;
};
