#pragma once

#include <mutex>

#include "platform/session.h"

namespace platform::fake {

// Session events raised by tests; the awake request is only remembered.
class FakeSession : public SessionFacility {
 public:
  static FakeSession& Instance();

  void Watch(std::function<void(SessionEvent)> handler) override;
  Result KeepAwake(bool awake) override;

  void Raise(SessionEvent event);
  bool Watched() const;
  bool Awake() const;
  void Reset();

 private:
  mutable std::mutex m_mutex;
  std::function<void(SessionEvent)> m_handler;
  bool m_awake = false;
};

}  // namespace platform::fake
