#include "platform/hotkeys.h"

#include <QAbstractEventDispatcher>
#include <QByteArray>
#include <QCoreApplication>
#include <QThread>

#include "platform/fake/fake_hotkeys.h"

namespace platform {
namespace native {
HotKeys& HotKeysInstance();
HotKeys& WaylandHotKeys();
std::unique_ptr<HotKeys> NewHotKeysClient();
}  // namespace native

HotKeys& GetHotKeys() {
  if (Backend::IsFake()) return fake::FakeHotKeys::Instance();
  if (Backend::Kind() == BackendKind::Wayland) return native::WaylandHotKeys();
  return native::HotKeysInstance();
}

std::unique_ptr<HotKeys> NewHotKeysClient() {
  if (Backend::IsFake()) return nullptr;
  return native::NewHotKeysClient();
}

bool DeliverHotKey(uint32_t key, uint32_t modifiers) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return false;
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(app->thread());
  if (!dispatcher) return false;
  HotKeyMessage message;
  message.key = key;
  message.modifiers = modifiers;
  long result = 0;
  return dispatcher->filterNativeEvent(QByteArray(kHotKeyEventType), &message, &result);
}

}  // namespace platform
