#pragma once

#include <QAbstractAnimation>
#include <QColor>
#include <QEvent>
#include <QFont>
#include <QLabel>
#include <QList>
#include <QTimer>

#include <atomic>

#include "platform/backend.h"

// A key going down (action 0) or up (action 1), posted by the keyboard hook
// to the keystroke overlay.
class MouseKeyEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(1200);
  MouseKeyEvent(int action, int code) : QEvent(kType), action(action), code(code) {}

  int action = 0;
  int code = 0;  // virtual-key code
};

// Always-on-top label that shows the keys being held (e.g. Ctrl + Shift + A)
// at the bottom middle of the chosen monitor, so that they are recorded.
class KeyMouseDisplay : public QLabel {
  Q_OBJECT

 public:
  enum DisplayFlag { kShowCombineKeys = 0x01, kShowCommonKeys = 0x10 };

  static KeyMouseDisplay* Instance();
  ~KeyMouseDisplay() override;

  void SetDisplayFlags(int flags);
  void SetTextColor(const QColor& color);
  void SetBackgroundColor(const QColor& color);
  void SetKeyFont(const QFont& font);
  void SetScreen(const QString& deviceName);
  void SetOpacity(int percent);
  // Replaces any installed hook; true when the hook is now installed (never
  // with display flags 0).
  bool InstallHook();
  // True when an installed hook was removed.
  bool UninstallHook();

  void OnKeyEvent(int action, int code);

  int DisplayFlags() const { return m_displayFlags; }
  QColor TextColor() const { return m_textColor; }
  QColor BackgroundColor() const { return m_backgroundColor; }
  QFont KeyFont() const { return m_keyFont; }
  const QList<int>& HeldKeys() const { return m_heldKeys; }
  platform::Rect MonitorRect() const { return {m_left, m_top, m_right, m_bottom}; }
  double Scale() const { return m_scale; }

 protected:
  bool event(QEvent* e) override;
  bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;

 private slots:
  void onTimer();
  void onAnimationStateChanged(QAbstractAnimation::State newState,
                               QAbstractAnimation::State oldState);
  void onAnimationFinished();

 private:
  KeyMouseDisplay();
  void ApplyStyle();
  void OnKeyDown(int code);
  void OnKeyUp(int code);
  void StartHideCountdown();

  int m_displayFlags = 0;
  QColor m_textColor{255, 255, 255};
  QColor m_backgroundColor{0, 0, 0};
  QFont m_keyFont;
  QList<int> m_heldKeys;
  QTimer m_hideTimer;
  std::atomic<int> m_countdown{0};
  int m_left = 0;
  int m_top = 0;
  int m_right = 0;
  int m_bottom = 0;
  double m_scale = 0;
};

// Pushes the /keymouse settings into the keystroke overlay and installs its
// keyboard hook.
void ApplyKeyMouseSettings();
