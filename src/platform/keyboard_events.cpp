#include "platform/keyboard_events.h"

#include "platform/fake/fake_keyboard_events.h"

namespace platform {
namespace native {
KeyboardEvents& KeyboardEventsInstance();
KeyboardEvents& WaylandKeyboardEvents();
}

KeyboardEvents& GetKeyboardEvents() {
  if (Backend::IsFake()) return fake::FakeKeyboardEvents::Instance();
  if (Backend::Kind() == BackendKind::Wayland) return native::WaylandKeyboardEvents();
  return native::KeyboardEventsInstance();
}

}  // namespace platform
