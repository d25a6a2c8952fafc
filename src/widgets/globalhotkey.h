#pragma once

#include <QAbstractNativeEventFilter>
#include <QHash>
#include <QKeySequence>
#include <QObject>
#include <QPair>

#include <cstdint>

class GlobalHotKey;

// Hands the hot-key presses that its owner holds to the owner.
class WinEventFilter : public QAbstractNativeEventFilter {
 public:
  explicit WinEventFilter(GlobalHotKey* owner) : m_owner(owner) {}
  virtual ~WinEventFilter();
  bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override;

 private:
  GlobalHotKey* m_owner;
};

// One system-wide hot key: emits activated when its combination is pressed,
// whichever program has the keyboard.
class GlobalHotKey : public QObject {
  Q_OBJECT

 public:
  explicit GlobalHotKey(QObject* parent = nullptr);
  ~GlobalHotKey() override;

  // Holds the first combination of the sequence; false when the system
  // refuses it (another program holds it).
  bool SetShortcut(const QKeySequence& sequence);
  // Whether the combination can be held now; holds it on success.
  static bool Register(const QKeySequence& sequence);
  static bool Unregister(const QKeySequence& sequence);

  void Activate();

  static uint32_t NativeKeycode(Qt::Key key);
  static uint32_t NativeModifiers(Qt::KeyboardModifiers modifiers);

 signals:
  void activated();

 private:
  friend class WinEventFilter;
  using NativeKey = QPair<uint32_t, uint32_t>;  // (key code, modifier bits)

  QHash<NativeKey, GlobalHotKey*> m_map;
  Qt::Key m_key = Qt::Key(0);
  Qt::KeyboardModifiers m_modifiers = Qt::NoModifier;
  WinEventFilter* m_filter = nullptr;
  bool m_registered = false;
};
