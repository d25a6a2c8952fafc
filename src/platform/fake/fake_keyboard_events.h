#pragma once

#include <mutex>

#include "platform/keyboard_events.h"

namespace platform::fake {

// Scriptable keyboard: Press and Release hand a key to the installed
// handler on the calling thread, as the keyboard would.
class FakeKeyboardEvents : public KeyboardEvents {
 public:
  static FakeKeyboardEvents& Instance();

  Result Install(KeyEventHandler handler) override;
  Result Uninstall() override;
  bool IsInstalled() override;

  // Install fails from now on (Failed) until Reset.
  void FailInstall(bool fail);
  // Whether a handler took the key.
  bool Press(uint32_t key);
  bool Release(uint32_t key);
  void Reset();

 private:
  FakeKeyboardEvents() = default;
  bool Deliver(KeyAction action, uint32_t key);
  std::mutex m_mutex;
  KeyEventHandler m_handler;
  bool m_failInstall = false;
};

}  // namespace platform::fake
