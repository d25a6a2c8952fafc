// Hot keys as passive key grabs on the root window, made on a private
// connection so that the grabs and their key events stay apart from the
// toolkit's. Requests are checked one by one (no process-wide Xlib error
// handler), and our own table remembers which combinations we hold, since the
// server lets one client grab the same combination twice without complaint.

#include <X11/keysym.h>
#include <glog/logging.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/hotkeys.h"

namespace platform::native {
namespace {

constexpr uint16_t kRelevantMask =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

// The layer's key numbering to keysyms; 0 when the key has no equivalent.
uint32_t KeysymOf(uint32_t key) {
  if (key >= 0x30 && key <= 0x39) return XK_0 + (key - 0x30);
  if (key >= 0x41 && key <= 0x5A) return XK_a + (key - 0x41);
  if (key >= 0x70 && key <= 0x87) return XK_F1 + (key - 0x70);
  switch (key) {
    case 0x08: return XK_BackSpace;
    case 0x09: return XK_Tab;
    case 0x0C: return XK_Clear;
    case 0x0D: return XK_Return;
    case 0x13: return XK_Pause;
    case 0x1B: return XK_Escape;
    case 0x20: return XK_space;
    case 0x21: return XK_Prior;
    case 0x22: return XK_Next;
    case 0x23: return XK_End;
    case 0x24: return XK_Home;
    case 0x25: return XK_Left;
    case 0x26: return XK_Up;
    case 0x27: return XK_Right;
    case 0x28: return XK_Down;
    case 0x2A: return XK_Print;
    case 0x2D: return XK_Insert;
    case 0x2E: return XK_Delete;
    case 0x6A: return XK_KP_Multiply;
    case 0x6B: return XK_KP_Add;
    case 0x6C: return XK_KP_Separator;
    case 0x6D: return XK_KP_Subtract;
    case 0x6F: return XK_KP_Divide;
    default: return 0;
  }
}

uint16_t ModifierMaskOf(uint32_t modifiers) {
  uint16_t mask = 0;
  if (modifiers & kHotKeyAlt) mask |= XCB_MOD_MASK_1;
  if (modifiers & kHotKeyControl) mask |= XCB_MOD_MASK_CONTROL;
  if (modifiers & kHotKeyShift) mask |= XCB_MOD_MASK_SHIFT;
  if (modifiers & kHotKeyMeta) mask |= XCB_MOD_MASK_4;
  return mask;
}

// The keyboard's current keycode to keysym table.
struct Keymap {
  xcb_keycode_t first = 0;
  int perKeycode = 0;
  std::vector<xcb_keysym_t> keysyms;

  // Keycodes whose unshifted or shifted symbol is keysym.
  std::vector<xcb_keycode_t> KeycodesOf(uint32_t keysym) const {
    std::vector<xcb_keycode_t> codes;
    if (perKeycode <= 0) return codes;
    const size_t count = keysyms.size() / static_cast<size_t>(perKeycode);
    for (size_t i = 0; i < count; ++i) {
      for (int level = 0; level < perKeycode && level < 2; ++level) {
        if (keysyms[i * perKeycode + level] == keysym) {
          codes.push_back(static_cast<xcb_keycode_t>(first + i));
          break;
        }
      }
    }
    return codes;
  }
};

class X11HotKeys : public HotKeys {
 public:
  X11HotKeys() {
    m_connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(m_connection)) {
      LOG(ERROR) << "hot keys: cannot open X display";
      xcb_disconnect(m_connection);
      m_connection = nullptr;
      return;
    }
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    m_root = xcb_setup_roots_iterator(setup).data->root;
    m_minKeycode = setup->min_keycode;
    m_maxKeycode = setup->max_keycode;
  }

  ~X11HotKeys() override {
    delete m_notifier.data();
    if (m_connection) xcb_disconnect(m_connection);  // the server drops our grabs
  }

  Result Register(uint32_t key, uint32_t modifiers) override {
    if (!m_connection) return Result::Unsupported;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_table.count(Combination(key, modifiers))) return Result::Failed;
    if (!KeysymOf(key)) return Result::Failed;
    Grab grab;
    grab.key = key;
    grab.modifiers = modifiers;
    grab.mask = ModifierMaskOf(modifiers);
    const bool held = Hold(grab, ReadKeymap());
    ScheduleDrain();
    if (!held) return Result::Failed;
    m_table[Combination(key, modifiers)] = grab;
    EnsureNotifier();
    return Result::Ok;
  }

  Result Unregister(uint32_t key, uint32_t modifiers) override {
    if (!m_connection) return Result::Unsupported;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_table.find(Combination(key, modifiers));
    if (it == m_table.end()) return Result::Failed;
    Ungrab(it->second);
    m_table.erase(it);
    ScheduleDrain();
    return Result::Ok;
  }

 private:
  using Combination = std::pair<uint32_t, uint32_t>;

  struct Grab {
    uint32_t key = 0;
    uint32_t modifiers = 0;
    uint16_t mask = 0;
    std::vector<xcb_keycode_t> keycodes;
    std::vector<uint16_t> masks;
  };

  Keymap ReadKeymap() {
    Keymap keymap;
    keymap.first = m_minKeycode;
    const auto count = static_cast<uint8_t>(m_maxKeycode - m_minKeycode + 1);
    xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
        m_connection, xcb_get_keyboard_mapping(m_connection, m_minKeycode, count), nullptr);
    if (!reply) return keymap;
    keymap.perKeycode = reply->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
    keymap.keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply));
    free(reply);
    return keymap;
  }

  // The modifier bit that Num Lock sets; 0 when no modifier carries it.
  uint16_t NumLockMask(const Keymap& keymap) {
    const std::vector<xcb_keycode_t> numLockCodes = keymap.KeycodesOf(XK_Num_Lock);
    if (numLockCodes.empty()) return 0;
    xcb_get_modifier_mapping_reply_t* reply = xcb_get_modifier_mapping_reply(
        m_connection, xcb_get_modifier_mapping(m_connection), nullptr);
    if (!reply) return 0;
    uint16_t mask = 0;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply);
    const int perModifier = reply->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8 && !mask; ++modifier) {
      for (int i = 0; i < perModifier; ++i) {
        const xcb_keycode_t code = codes[modifier * perModifier + i];
        for (xcb_keycode_t numLock : numLockCodes) {
          if (code && code == numLock) mask = static_cast<uint16_t>(1u << modifier);
        }
      }
    }
    free(reply);
    return mask;
  }

  void Ungrab(const Grab& grab) {
    for (xcb_keycode_t code : grab.keycodes) {
      for (uint16_t mask : grab.masks) xcb_ungrab_key(m_connection, code, m_root, mask);
    }
    xcb_flush(m_connection);
  }

  // Grabs the keys that give the grab's key under keymap, with the lock
  // modifiers on or off. False when no key gives it, or when another client
  // holds the combination (what we did get is let go).
  bool Hold(Grab& grab, const Keymap& keymap) {
    const uint32_t keysym = KeysymOf(grab.key);
    grab.keycodes = keymap.KeycodesOf(keysym);
    if (grab.keycodes.empty()) {
      LOG(WARNING) << "hot keys: no key of the keyboard gives keysym 0x" << std::hex << keysym;
      return false;
    }
    // The same combination with Caps Lock and Num Lock on or off.
    const uint16_t numLock = NumLockMask(keymap);
    grab.masks = {grab.mask, static_cast<uint16_t>(grab.mask | XCB_MOD_MASK_LOCK)};
    if (numLock) {
      grab.masks.push_back(grab.mask | numLock);
      grab.masks.push_back(grab.mask | numLock | XCB_MOD_MASK_LOCK);
    }
    std::vector<xcb_void_cookie_t> cookies;
    for (xcb_keycode_t code : grab.keycodes) {
      for (uint16_t mask : grab.masks) {
        cookies.push_back(xcb_grab_key_checked(m_connection, 0, m_root, mask, code,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
      }
    }
    bool refused = false;
    for (const xcb_void_cookie_t& cookie : cookies) {
      if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
        refused = true;
        free(error);
      }
    }
    if (refused) {
      // Another client holds it; let go of what we did get.
      Ungrab(grab);
      grab.keycodes.clear();
    }
    return !refused;
  }

  // The keyboard layout changed: each combination moves to the keys that
  // give it now.
  void Regrab() {
    const Keymap keymap = ReadKeymap();
    for (auto& entry : m_table) {
      Grab& grab = entry.second;
      Ungrab(grab);
      if (!Hold(grab, keymap))
        LOG(WARNING) << "hot keys: key 0x" << std::hex << grab.key
                     << " is lost after the keyboard layout changed";
    }
  }

  // Key events arrive on the thread of the application object.
  void EnsureNotifier() {
    if (m_notifier) return;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
      LOG(ERROR) << "hot keys registered without an application on this thread: "
                    "presses will not arrive";
      return;
    }
    // A child of the application, so that it goes before the event loop does.
    m_notifier = new QSocketNotifier(xcb_get_file_descriptor(m_connection),
                                     QSocketNotifier::Read, app);
    QObject::connect(m_notifier.data(), &QSocketNotifier::activated, m_notifier.data(),
                     [this] { Drain(); });
  }

  // Replies read during a request may have queued events without the socket
  // waking the notifier again.
  void ScheduleDrain() {
    if (m_notifier) QTimer::singleShot(0, m_notifier.data(), [this] { Drain(); });
  }

  void Drain() {
    std::vector<HotKeyMessage> presses;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      bool remapped = false;
      while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
        if ((event->response_type & 0x7f) == XCB_MAPPING_NOTIFY) {
          const auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
          remapped = remapped || mapping->request != XCB_MAPPING_POINTER;
        } else if ((event->response_type & 0x7f) == XCB_KEY_PRESS) {
          auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
          const uint16_t mask = press->state & kRelevantMask;
          for (const auto& entry : m_table) {
            const Grab& grab = entry.second;
            if (grab.mask != mask) continue;
            bool match = false;
            for (xcb_keycode_t code : grab.keycodes) match = match || code == press->detail;
            if (match) {
              presses.push_back(HotKeyMessage{grab.key, grab.modifiers});
              break;
            }
          }
        }
        free(event);
      }
      if (remapped) {
        Regrab();
        ScheduleDrain();
      }
      if (xcb_connection_has_error(m_connection) && m_notifier) {
        LOG(ERROR) << "hot keys: the X connection broke";
        m_notifier->setEnabled(false);
      }
    }
    // Outside the lock: a filter may register or release hot keys.
    for (const HotKeyMessage& press : presses) DeliverHotKey(press.key, press.modifiers);
  }

  xcb_connection_t* m_connection = nullptr;
  xcb_window_t m_root = 0;
  xcb_keycode_t m_minKeycode = 8;
  xcb_keycode_t m_maxKeycode = 255;
  std::mutex m_mutex;
  // Keyed by (key, modifiers) as the caller names the combination.
  std::map<Combination, Grab> m_table;
  QPointer<QSocketNotifier> m_notifier;
};

}  // namespace

HotKeys& HotKeysInstance() {
  static X11HotKeys instance;
  return instance;
}

std::unique_ptr<HotKeys> NewHotKeysClient() { return std::make_unique<X11HotKeys>(); }

}  // namespace platform::native
