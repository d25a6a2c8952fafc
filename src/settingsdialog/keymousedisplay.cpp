#include "settingsdialog/keymousedisplay.h"

#include <glog/logging.h>

#include <QCoreApplication>
#include <QFontMetrics>
#include <QString>

#include <algorithm>
#include <map>
#include <string>

#include "platform/keyboard_events.h"
#include "platform/monitors.h"
#include "settings.h"
#include "settingsdialog/monitorlist.h"
#include "utils.h"

namespace {

constexpr int kMinWidth = 260;
constexpr int kHideInterval = 1000;

// Display names of the keys that can be shown, by virtual-key code, in the
// locale's 8-bit encoding.
std::map<int, std::string> KeyNames;

void AddKeyName(int code, const char* utf8) {
  KeyNames[code] = QString::fromUtf8(utf8).toLocal8Bit().toStdString();
}

void InitKeyNames() {
  if (!KeyNames.empty()) return;
  for (int c = 0x30; c <= 0x39; ++c) AddKeyName(c, std::string(1, static_cast<char>(c)).c_str());
  for (int c = 0x41; c <= 0x5A; ++c) AddKeyName(c, std::string(1, static_cast<char>(c)).c_str());
  for (int c = 0x60; c <= 0x69; ++c) AddKeyName(c, ("NUM_" + std::to_string(c - 0x60)).c_str());
  for (int c = 0x70; c <= 0x87; ++c) AddKeyName(c, ("F" + std::to_string(c - 0x70 + 1)).c_str());
  static const std::pair<int, const char*> kNames[] = {
      {0x01, "鼠标左键"}, {0x02, "鼠标右键"}, {0x03, "Ctrl-Break"}, {0x04, "鼠标中键"},
      {0x08, "Backspace"}, {0x09, "Tab"}, {0x0C, "Clear"}, {0x0D, "Enter"},
      {0x10, "Shift"}, {0x11, "Ctrl"}, {0x12, "Alt"}, {0x13, "Pause"}, {0x14, "Caps Lock"},
      {0x1B, "Esc"}, {0x20, "Space"},
      {0x21, "Page Up"}, {0x22, "Page Down"}, {0x23, "End"}, {0x24, "Home"},
      {0x25, "Left"}, {0x26, "Up"}, {0x27, "Right"}, {0x28, "Down"},
      {0x29, "Select"}, {0x2A, "Print"}, {0x2B, "Execute"}, {0x2C, "Print Screen"},
      {0x2D, "Ins"}, {0x2E, "Del"}, {0x2F, "Help"},
      {0x5B, "左Windows"}, {0x5C, "右Windows"}, {0x5D, "应用程序键"}, {0x5F, "休眠键"},
      {0x6A, "*"}, {0x6B, "+"}, {0x6C, "分割键"}, {0x6D, "-"}, {0x6E, "."}, {0x6F, "/"},
      {0x90, "Num Lock"}, {0x91, "Scroll Lock"},
      {0xA0, "左Shift"}, {0xA1, "右Shift"}, {0xA2, "左Ctrl"},
      {0xA3, "右Ctrl"}, {0xA4, "左Alt"}, {0xA5, "右Alt"},
      {0xBA, ";"}, {0xBB, "="}, {0xBC, ","}, {0xBD, "-"}, {0xBE, "."}, {0xBF, "/"},
      {0xC0, "`"}, {0xDB, "["}, {0xDD, "]"}, {0xDE, "'"}, {0xDC, "\\"},
  };
  for (const auto& entry : kNames) AddKeyName(entry.first, entry.second);
}

bool IsModifier(int code) {
  return (code >= 0x10 && code <= 0x12) || (code >= 0xA0 && code <= 0xA5);
}

KeyMouseDisplay* s_instance = nullptr;

// Widgets must go before the application object does.
void DestroyInstance() {
  delete s_instance;
  s_instance = nullptr;
}

// Runs on the GUI thread and only posts.
void KeyHookProc(platform::KeyAction action, uint32_t key) {
  KeyMouseDisplay* display = KeyMouseDisplay::Instance();
  if (!display) return;
  QCoreApplication::postEvent(
      display, new MouseKeyEvent(action == platform::KeyAction::Down ? 0 : 1, static_cast<int>(key)),
      Qt::NormalEventPriority);
}

}  // namespace

KeyMouseDisplay* KeyMouseDisplay::Instance() {
  static const bool created = [] {
    s_instance = new KeyMouseDisplay;
    qAddPostRoutine(DestroyInstance);
    return true;
  }();
  (void)created;
  InitKeyNames();
  return s_instance;
}

KeyMouseDisplay::KeyMouseDisplay() : QLabel(nullptr) {
  setWindowFlags(Qt::FramelessWindowHint | Qt::SubWindow | Qt::WindowStaysOnTopHint |
                 Qt::WindowDoesNotAcceptFocus);
  // Showing must not take the keyboard from the window being typed into.
  setAttribute(Qt::WA_ShowWithoutActivating);
  setWindowOpacity(0.4);
  ApplyStyle();
  QFont keyFont = font();
  keyFont.setWeight(25);
  keyFont.setPointSize(50);
  setFont(keyFont);
  setFixedSize(600, 90);
  hide();
  m_hideTimer.setInterval(kHideInterval);
  connect(&m_hideTimer, &QTimer::timeout, this, &KeyMouseDisplay::onTimer);
}

KeyMouseDisplay::~KeyMouseDisplay() { UninstallHook(); }

void KeyMouseDisplay::SetDisplayFlags(int flags) { m_displayFlags = flags; }

void KeyMouseDisplay::SetTextColor(const QColor& color) {
  m_textColor = color;
  ApplyStyle();
}

void KeyMouseDisplay::SetBackgroundColor(const QColor& color) {
  m_backgroundColor = color;
  ApplyStyle();
}

void KeyMouseDisplay::SetKeyFont(const QFont& font) {
  m_keyFont = font;
  setFont(font);
}

void KeyMouseDisplay::SetOpacity(int percent) { setWindowOpacity(percent / 100.0); }

void KeyMouseDisplay::SetScreen(const QString& deviceName) {
  const std::wstring wanted = deviceName.toStdWString();
  for (const MonitorItem& monitor : GetMonitors()) {
    if (monitor.deviceName != wanted) continue;
    m_left = monitor.rect.left;
    m_top = monitor.rect.top;
    m_right = monitor.rect.right;
    m_bottom = monitor.rect.bottom;
    m_scale = GetDeviceScale(QString::fromStdWString(monitor.deviceName).toStdString());
    return;
  }
  // Nothing chosen yet (or the chosen monitor is gone before any match):
  // the primary monitor rather than a window off the desktop's corner.
  if (m_left == 0 && m_top == 0 && m_right == 0 && m_bottom == 0) {
    for (const MonitorItem& monitor : GetMonitors()) {
      if (!monitor.isPrimary) continue;
      m_left = monitor.rect.left;
      m_top = monitor.rect.top;
      m_right = monitor.rect.right;
      m_bottom = monitor.rect.bottom;
      m_scale = GetDeviceScale(QString::fromStdWString(monitor.deviceName).toStdString());
      break;
    }
  }
}

bool KeyMouseDisplay::InstallHook() {
  UninstallHook();
  if (m_displayFlags == 0) return false;
  const platform::Result result = platform::GetKeyboardEvents().Install(&KeyHookProc);
  if (result != platform::Result::Ok) {
    LOG(ERROR) << "install keyboard hook failed: " << platform::ResultName(result);
    return false;
  }
  return true;
}

bool KeyMouseDisplay::UninstallHook() {
  // No release can arrive any more: what is held now would keep the window.
  if (!m_heldKeys.isEmpty()) {
    m_heldKeys.clear();
    StartHideCountdown();
  }
  platform::KeyboardEvents& keyboard = platform::GetKeyboardEvents();
  if (!keyboard.IsInstalled()) return false;
  return keyboard.Uninstall() == platform::Result::Ok;
}

bool KeyMouseDisplay::event(QEvent* e) {
  if (e->type() == MouseKeyEvent::kType) {
    auto* keyEvent = static_cast<MouseKeyEvent*>(e);
    OnKeyEvent(keyEvent->action, keyEvent->code);
  }
  return QLabel::event(e);
}

bool KeyMouseDisplay::nativeEvent(const QByteArray& eventType, void* message, long* result) {
  return QLabel::nativeEvent(eventType, message, result);
}

void KeyMouseDisplay::OnKeyEvent(int action, int code) {
  if (action == 0)
    OnKeyDown(code);
  else if (action == 1)
    OnKeyUp(code);
}

// The background is opaque here (an "rgba" without alpha is refused by the
// style sheet parser); translucency comes from the window opacity.
void KeyMouseDisplay::ApplyStyle() {
  setStyleSheet(QString("color:rgb(%1,%2,%3);background:rgb(%4,%5,%6)")
                    .arg(m_textColor.red())
                    .arg(m_textColor.green())
                    .arg(m_textColor.blue())
                    .arg(m_backgroundColor.red())
                    .arg(m_backgroundColor.green())
                    .arg(m_backgroundColor.blue()));
}

void KeyMouseDisplay::OnKeyDown(int code) {
  auto found = KeyNames.find(code);
  if (found == KeyNames.end()) return;
  const bool common = m_displayFlags & kShowCommonKeys;
  const bool combine = m_displayFlags & kShowCombineKeys;
  if (common && !combine && IsModifier(code)) return;
  if (!common && m_heldKeys.isEmpty() && !IsModifier(code)) return;

  const QString name = QString::fromLocal8Bit(found->second.c_str());
  QString plain;
  QString rich;
  for (int held : m_heldKeys) {
    auto heldName = KeyNames.find(held);
    const QString text =
        heldName == KeyNames.end() ? QString() : QString::fromLocal8Bit(heldName->second.c_str());
    plain += text + " + ";
    rich += text + "<font color=gray size=10px> + </font>";
  }
  plain += name;
  rich += name;
  m_countdown = 0;

  const QFontMetrics metrics(font());
  const int advance = metrics.horizontalAdvance(plain);
  setFixedWidth(std::max(advance, kMinWidth));
  setFixedHeight(metrics.height() * 3 / 2);
  if (advance < kMinWidth)
    setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  else
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  setText(rich);

  // The monitor rectangle is in device pixels, the toolkit places in its own
  // (device pixels / ratio). Centred and standing on the bottom edge by the
  // window's own size: placing by the size before scaling would push a
  // scaled window off-centre and past the bottom of the screen.
  const double ratio = devicePixelRatioF() > 0 ? devicePixelRatioF() : 1.0;
  const int w = width();
  const int h = height();
  const int left = static_cast<int>(m_left / ratio);
  const int right = static_cast<int>(m_right / ratio);
  const int bottom = static_cast<int>(m_bottom / ratio);
  setGeometry(left + ((right - left) - w) / 2, bottom - h, w, h);
  show();
  m_heldKeys.append(code);
}

void KeyMouseDisplay::OnKeyUp(int code) {
  m_heldKeys.removeAll(code);
  if (m_heldKeys.isEmpty()) StartHideCountdown();
}

void KeyMouseDisplay::StartHideCountdown() {
  m_countdown = 1;
  if (!m_hideTimer.isActive()) m_hideTimer.start();
}

void KeyMouseDisplay::onTimer() {
  // Counts down only while no key is held.
  if (!m_heldKeys.isEmpty()) return;
  if (m_countdown == 2) {
    m_heldKeys.clear();
    hide();
  } else {
    ++m_countdown;
  }
}

void KeyMouseDisplay::onAnimationStateChanged(QAbstractAnimation::State, QAbstractAnimation::State) {
  LOG(INFO) << "onAnimationStateChanged11111111111";
}

void KeyMouseDisplay::onAnimationFinished() { LOG(INFO) << "onAnimationFinished11111111111"; }

void ApplyKeyMouseSettings() {
  Settings* settings = Settings::Instance();
  KeyMouseDisplay* display = KeyMouseDisplay::Instance();
  int flags = 0;
  if (settings->GetKeymouseShowcombinekey()) flags |= KeyMouseDisplay::kShowCombineKeys;
  if (settings->GetKeymouseShowcommonkey()) flags |= KeyMouseDisplay::kShowCommonKeys;
  display->SetDisplayFlags(flags);
  display->SetTextColor(settings->GetKeymouseColor());
  display->SetBackgroundColor(settings->GetKeymouseBackgroundcolor());
  display->SetKeyFont(settings->GetKeymouseFont());
  display->SetScreen(settings->GetKeymouseDisplayscreen());
  display->SetOpacity(settings->GetKeymouseBackgroundopacity());
  display->InstallHook();
}
