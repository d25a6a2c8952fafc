#include "platform/fake/fake_keyboard_events.h"

namespace platform::fake {

FakeKeyboardEvents& FakeKeyboardEvents::Instance() {
  static FakeKeyboardEvents instance;
  return instance;
}

Result FakeKeyboardEvents::Install(KeyEventHandler handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_handler = nullptr;
  if (m_failInstall) return Result::Failed;
  m_handler = std::move(handler);
  return Result::Ok;
}

Result FakeKeyboardEvents::Uninstall() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_handler) return Result::Failed;
  m_handler = nullptr;
  return Result::Ok;
}

bool FakeKeyboardEvents::IsInstalled() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<bool>(m_handler);
}

void FakeKeyboardEvents::FailInstall(bool fail) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failInstall = fail;
}

bool FakeKeyboardEvents::Press(uint32_t key) { return Deliver(KeyAction::Down, key); }
bool FakeKeyboardEvents::Release(uint32_t key) { return Deliver(KeyAction::Up, key); }

bool FakeKeyboardEvents::Deliver(KeyAction action, uint32_t key) {
  KeyEventHandler handler;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    handler = m_handler;
  }
  // Outside the lock: the handler may install or uninstall.
  if (!handler) return false;
  handler(action, key);
  return true;
}

void FakeKeyboardEvents::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_handler = nullptr;
  m_failInstall = false;
}

}  // namespace platform::fake
