#include "widgets/globalhotkey.h"

#include <QCoreApplication>

#include "platform/hotkeys.h"

namespace {

constexpr int kModifierMask =
    Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

struct Split {
  Qt::Key key = Qt::Key(0);
  Qt::KeyboardModifiers modifiers = Qt::NoModifier;
  uint32_t vk = 0;
  uint32_t mods = 0;
};

Split SplitSequence(const QKeySequence& sequence) {
  Split split;
  if (!sequence.isEmpty()) {
    const int combination = sequence[0];
    split.key = Qt::Key(combination & ~kModifierMask);
    split.modifiers = Qt::KeyboardModifiers(combination & kModifierMask);
  }
  split.vk = GlobalHotKey::NativeKeycode(split.key);
  split.mods = GlobalHotKey::NativeModifiers(split.modifiers);
  return split;
}

}  // namespace

WinEventFilter::~WinEventFilter() = default;

bool WinEventFilter::nativeEventFilter(const QByteArray& eventType, void* message, long*) {
  if (eventType != platform::kHotKeyEventType || !message) return false;
  const auto* press = static_cast<const platform::HotKeyMessage*>(message);
  // Only an owner that holds the combination takes the press; one whose
  // registration was refused leaves it to the holder.
  if (!m_owner->m_registered ||
      !m_owner->m_map.contains(GlobalHotKey::NativeKey(press->key, press->modifiers)))
    return false;
  m_owner->Activate();
  return true;
}

GlobalHotKey::GlobalHotKey(QObject* parent) : QObject(parent) {
  m_filter = new WinEventFilter(this);
  QCoreApplication::instance()->installNativeEventFilter(m_filter);
}

GlobalHotKey::~GlobalHotKey() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->removeNativeEventFilter(m_filter);
  delete m_filter;
  // Only what this object holds: a refused combination may belong to
  // another hot key of ours.
  if (m_registered)
    platform::GetHotKeys().Unregister(NativeKeycode(m_key), NativeModifiers(m_modifiers));
}

bool GlobalHotKey::SetShortcut(const QKeySequence& sequence) {
  if (m_registered) {
    platform::GetHotKeys().Unregister(NativeKeycode(m_key), NativeModifiers(m_modifiers));
    m_registered = false;
  }
  const Split split = SplitSequence(sequence);
  m_key = split.key;
  m_modifiers = split.modifiers;
  m_map.clear();  // a released combination is no longer ours
  m_map.insert(NativeKey(split.vk, split.mods), this);
  m_registered = platform::GetHotKeys().Register(split.vk, split.mods) == platform::Result::Ok;
  return m_registered;
}

bool GlobalHotKey::Register(const QKeySequence& sequence) {
  const Split split = SplitSequence(sequence);
  return platform::GetHotKeys().Register(split.vk, split.mods) == platform::Result::Ok;
}

bool GlobalHotKey::Unregister(const QKeySequence& sequence) {
  const Split split = SplitSequence(sequence);
  return platform::GetHotKeys().Unregister(split.vk, split.mods) == platform::Result::Ok;
}

void GlobalHotKey::Activate() { emit activated(); }

uint32_t GlobalHotKey::NativeModifiers(Qt::KeyboardModifiers modifiers) {
  uint32_t native = 0;
  if (modifiers & Qt::ShiftModifier) native |= platform::kHotKeyShift;
  if (modifiers & Qt::ControlModifier) native |= platform::kHotKeyControl;
  if (modifiers & Qt::AltModifier) native |= platform::kHotKeyAlt;
  if (modifiers & Qt::MetaModifier) native |= platform::kHotKeyMeta;
  return native;
}

uint32_t GlobalHotKey::NativeKeycode(Qt::Key key) {
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<uint32_t>(key);
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<uint32_t>(key);
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return 0x70 + (key - Qt::Key_F1);
  switch (key) {
    case Qt::Key_Space: return 0x20;
    case Qt::Key_Asterisk: return 0x6A;
    case Qt::Key_Plus: return 0x6B;
    case Qt::Key_Comma: return 0x6C;
    case Qt::Key_Minus: return 0x6D;
    case Qt::Key_Slash: return 0x6F;
    case Qt::Key_Escape: return 0x1B;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 0x09;
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 0x0D;
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    case Qt::Key_Pause: return 0x13;
    case Qt::Key_Print: return 0x2A;
    case Qt::Key_Clear: return 0x0C;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_End: return 0x23;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    default: return 0;
  }
}
