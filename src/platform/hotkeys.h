#pragma once

#include <cstdint>
#include <memory>

#include "platform/backend.h"

namespace platform {

// System-wide hot keys: key combinations that reach this process whichever
// window has the keyboard.
//
// Keys are numbered as the classic PC virtual-key codes ('0'-'9' and 'A'-'Z'
// as their ASCII codes, 0x70 F1, 0x6A numeric-pad '*', ...); modifiers are the
// bits below.
enum HotKeyModifier : uint32_t {
  kHotKeyAlt = 1,
  kHotKeyControl = 2,
  kHotKeyShift = 4,
  kHotKeyMeta = 8,
};

// A press of a held combination is handed to the application's native event
// filters on the GUI thread, with this event type and a HotKeyMessage* as the
// message. A filter that takes the press returns true; the others leave it.
inline constexpr char kHotKeyEventType[] = "korvorec_hotkey";

struct HotKeyMessage {
  uint32_t key = 0;
  uint32_t modifiers = 0;
};

class HotKeys {
 public:
  virtual ~HotKeys() = default;

  // Holds the combination key + modifiers for this process. Failed when
  // another program holds it, when we hold it already, or when no key of
  // the keyboard produces the key; Unsupported without a window system.
  virtual Result Register(uint32_t key, uint32_t modifiers) = 0;
  // Releases the combination; Failed when we do not hold it.
  virtual Result Unregister(uint32_t key, uint32_t modifiers) = 0;
};

// The process's hot keys. Register and Unregister on the GUI thread, once the
// application object exists.
HotKeys& GetHotKeys();

// A second, independent client of the window system, as another program
// would be: its combinations are refused to GetHotKeys() and the other way
// round. Null with the fake backend.
std::unique_ptr<HotKeys> NewHotKeysClient();

// Hands a press to the native event filters; true when one took it.
bool DeliverHotKey(uint32_t key, uint32_t modifiers);

}  // namespace platform
