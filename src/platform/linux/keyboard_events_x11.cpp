// Raw key events of XInput 2 on a private connection: the server reports
// every key of the master keyboards to the root window whichever client has
// the focus or a grab, and nothing is taken from the focused window.

// Qt before Xlib: Xlib's macros (Bool, None, ...) break Qt's headers.
#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <glog/logging.h>

#include <array>
#include <bitset>
#include <memory>
#include <utility>
#include <vector>

#include "platform/keyboard_events.h"
#include "platform/linux/x11connection.h"

namespace platform::native {
namespace {

// Keypad keys as Num Lock gives them.
uint32_t KeypadDigitKey(KeySym sym) {
  if (sym >= XK_KP_0 && sym <= XK_KP_9) return 0x60 + static_cast<uint32_t>(sym - XK_KP_0);
  if (sym == XK_KP_Decimal || sym == XK_KP_Separator) return 0x6E;
  return 0;
}

// The unshifted keysym of a key to its virtual-key code; 0 for keys without one.
uint32_t KeyOf(KeySym sym) {
  if (sym >= XK_a && sym <= XK_z) return 0x41 + static_cast<uint32_t>(sym - XK_a);
  if (sym >= XK_A && sym <= XK_Z) return 0x41 + static_cast<uint32_t>(sym - XK_A);
  if (sym >= XK_0 && sym <= XK_9) return 0x30 + static_cast<uint32_t>(sym - XK_0);
  if (sym >= XK_F1 && sym <= XK_F24) return 0x70 + static_cast<uint32_t>(sym - XK_F1);
  if (sym >= XK_KP_0 && sym <= XK_KP_9) return 0x60 + static_cast<uint32_t>(sym - XK_KP_0);
  switch (sym) {
    case XK_Break: return 0x03;
    case XK_BackSpace: return 0x08;
    case XK_Tab: case XK_ISO_Left_Tab: return 0x09;
    case XK_Clear: case XK_KP_Begin: return 0x0C;
    case XK_Return: case XK_KP_Enter: return 0x0D;
    case XK_Pause: return 0x13;
    case XK_Caps_Lock: return 0x14;
    case XK_Escape: return 0x1B;
    case XK_space: return 0x20;
    case XK_Prior: case XK_KP_Prior: return 0x21;
    case XK_Next: case XK_KP_Next: return 0x22;
    case XK_End: case XK_KP_End: return 0x23;
    case XK_Home: case XK_KP_Home: return 0x24;
    case XK_Left: case XK_KP_Left: return 0x25;
    case XK_Up: case XK_KP_Up: return 0x26;
    case XK_Right: case XK_KP_Right: return 0x27;
    case XK_Down: case XK_KP_Down: return 0x28;
    case XK_Select: return 0x29;
    case XK_Execute: return 0x2B;
    case XK_Print: return 0x2C;
    case XK_Insert: case XK_KP_Insert: return 0x2D;
    case XK_Delete: case XK_KP_Delete: return 0x2E;
    case XK_Help: return 0x2F;
    case XK_Super_L: return 0x5B;
    case XK_Super_R: return 0x5C;
    case XK_Menu: return 0x5D;
    case XK_KP_Multiply: return 0x6A;
    case XK_KP_Add: return 0x6B;
    case XK_KP_Separator: return 0x6C;
    case XK_KP_Subtract: return 0x6D;
    case XK_KP_Decimal: return 0x6E;
    case XK_KP_Divide: return 0x6F;
    case XK_Num_Lock: return 0x90;
    case XK_Scroll_Lock: return 0x91;
    case XK_Shift_L: return 0xA0;
    case XK_Shift_R: return 0xA1;
    case XK_Control_L: return 0xA2;
    case XK_Control_R: return 0xA3;
    case XK_Alt_L: case XK_Meta_L: return 0xA4;
    case XK_Alt_R: case XK_Meta_R: case XK_ISO_Level3_Shift: return 0xA5;
    case XK_semicolon: return 0xBA;
    case XK_equal: return 0xBB;
    case XK_comma: return 0xBC;
    case XK_minus: return 0xBD;
    case XK_period: return 0xBE;
    case XK_slash: return 0xBF;
    case XK_grave: return 0xC0;
    case XK_bracketleft: return 0xDB;
    case XK_backslash: return 0xDC;
    case XK_bracketright: return 0xDD;
    case XK_apostrophe: return 0xDE;
    default: return 0;
  }
}

class X11KeyboardEvents : public KeyboardEvents {
 public:
  ~X11KeyboardEvents() override { delete m_notifier.data(); }

  Result Install(KeyEventHandler handler) override {
    m_handler = nullptr;
    if (!Connect()) return m_connection && *m_connection ? Result::Failed : Result::Unsupported;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
      LOG(ERROR) << "keyboard events: install on the GUI thread, after the application exists";
      return Result::Failed;
    }
    if (!Select(true)) return Result::Failed;
    m_handler = std::move(handler);
    m_down.reset();
    m_seen.reset();
    if (!m_notifier) {
      // A child of the application, so that it goes before the event loop does.
      m_notifier = new QSocketNotifier(ConnectionNumber(Dpy()), QSocketNotifier::Read, app);
      QObject::connect(m_notifier.data(), &QSocketNotifier::activated, m_notifier.data(),
                       [this] { Drain(); });
    }
    m_notifier->setEnabled(true);
    // Events read along with replies do not wake the notifier.
    QTimer::singleShot(0, m_notifier.data(), [this] { Drain(); });
    return Result::Ok;
  }

  Result Uninstall() override {
    if (!m_handler) return Result::Failed;
    m_handler = nullptr;
    Select(false);
    Drain();
    return Result::Ok;
  }

  bool IsInstalled() override { return static_cast<bool>(m_handler); }

 private:
  Display* Dpy() const { return m_connection ? m_connection->get() : nullptr; }

  bool Connect() {
    if (m_xiOpcode) return true;
    if (!m_connection) m_connection = std::make_unique<X11Connection>();
    Display* display = Dpy();
    if (!display) return false;
    int event = 0, error = 0;
    if (!XQueryExtension(display, "XInputExtension", &m_xiOpcode, &event, &error)) {
      LOG(ERROR) << "keyboard events: the display has no XInput extension";
      m_xiOpcode = 0;
      return false;
    }
    // 2.2 semantics: raw events reach the root window despite grabs.
    int major = 2, minor = 2;
    if (XIQueryVersion(display, &major, &minor) != Success || major < 2) {
      LOG(ERROR) << "keyboard events: XInput 2 is missing (" << major << "." << minor << ")";
      m_xiOpcode = 0;
      return false;
    }
    m_numLockMask = XkbKeysymToModifiers(display, XK_Num_Lock);
    return true;
  }

  bool Select(bool on) {
    Display* display = Dpy();
    if (!display || !m_xiOpcode) return false;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (on) {
      XISetMask(bits, XI_RawKeyPress);
      XISetMask(bits, XI_RawKeyRelease);
    }
    XIEventMask mask;
    mask.deviceid = XIAllMasterDevices;
    mask.mask_len = sizeof(bits);
    mask.mask = bits;
    const Status status = XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    // In force before the caller goes on.
    XSync(display, False);
    if (status != Success) LOG(ERROR) << "keyboard events: selecting raw keys failed";
    return status == Success;
  }

  uint32_t Translate(int keycode) {
    Display* display = Dpy();
    const auto code = static_cast<KeyCode>(keycode);
    const KeySym base = XkbKeycodeToKeysym(display, code, 0, 0);
    if (base >= XK_KP_Space && base <= XK_KP_Equal && m_numLockMask) {
      const uint32_t digit = KeypadDigitKey(XkbKeycodeToKeysym(display, code, 0, 1));
      XkbStateRec state{};
      if (digit && XkbGetState(display, XkbUseCoreKbd, &state) == Success &&
          (state.locked_mods & m_numLockMask))
        return digit;
    }
    return KeyOf(base);
  }

  // XTest clients release modifiers twice; a key goes up once for each time
  // it went down. A key already held at install time still gets its release.
  bool FirstRelease(int keycode) const {
    if (keycode < 0 || keycode >= kKeycodes) return true;
    return m_down[keycode] || !m_seen[keycode];
  }
  void Track(int keycode, bool down, uint32_t key) {
    if (keycode < 0 || keycode >= kKeycodes) return;
    m_down[keycode] = down;
    m_seen[keycode] = true;
    if (down) m_pressedAs[keycode] = key;
  }
  uint32_t PressedAs(int keycode) {
    if (keycode >= 0 && keycode < kKeycodes && m_down[keycode]) return m_pressedAs[keycode];
    return Translate(keycode);
  }

  void Drain() {
    Display* display = Dpy();
    if (!display) return;
    std::vector<std::pair<KeyAction, uint32_t>> keys;
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      XGenericEventCookie* cookie = &event.xcookie;
      if (cookie->type != GenericEvent || cookie->extension != m_xiOpcode ||
          !XGetEventData(display, cookie))
        continue;
      if (m_handler &&
          (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease)) {
        const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
        const bool down = cookie->evtype == XI_RawKeyPress;
        // A key goes up as the key it went down as, also when Num Lock
        // changed in between (a keypad digit then reads as End).
        const uint32_t key = down ? Translate(raw->detail) : PressedAs(raw->detail);
        if (key && (down || FirstRelease(raw->detail)))
          keys.emplace_back(down ? KeyAction::Down : KeyAction::Up, key);
        Track(raw->detail, down, key);
      }
      XFreeEventData(display, cookie);
    }
    // The handler may uninstall; later keys then go nowhere.
    for (const auto& key : keys) {
      if (!m_handler) break;
      KeyEventHandler handler = m_handler;
      handler(key.first, key.second);
    }
  }

  static constexpr int kKeycodes = 256;
  std::bitset<kKeycodes> m_down;
  std::bitset<kKeycodes> m_seen;
  std::array<uint32_t, kKeycodes> m_pressedAs{};
  std::unique_ptr<X11Connection> m_connection;
  int m_xiOpcode = 0;
  unsigned m_numLockMask = 0;
  KeyEventHandler m_handler;
  QPointer<QSocketNotifier> m_notifier;
};

}  // namespace

KeyboardEvents& KeyboardEventsInstance() {
  static X11KeyboardEvents instance;
  return instance;
}

}  // namespace platform::native
