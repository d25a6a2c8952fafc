#include "platform/keyboard_events.h"

#include "platform/fake/fake_keyboard_events.h"

namespace platform {
namespace native {
KeyboardEvents& KeyboardEventsInstance();
}

KeyboardEvents& GetKeyboardEvents() {
  if (Backend::IsFake()) return fake::FakeKeyboardEvents::Instance();
  return native::KeyboardEventsInstance();
}

}  // namespace platform
