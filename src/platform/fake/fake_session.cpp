#include "platform/fake/fake_session.h"

namespace platform::fake {

FakeSession& FakeSession::Instance() {
  static FakeSession instance;
  return instance;
}

void FakeSession::Watch(std::function<void(SessionEvent)> handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_handler = std::move(handler);
}

Result FakeSession::KeepAwake(bool awake) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_awake = awake;
  return Result::Ok;
}

void FakeSession::Raise(SessionEvent event) {
  std::function<void(SessionEvent)> handler;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    handler = m_handler;
  }
  if (handler) handler(event);
}

bool FakeSession::Watched() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<bool>(m_handler);
}

bool FakeSession::Awake() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_awake;
}

void FakeSession::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_handler = nullptr;
  m_awake = false;
}

}  // namespace platform::fake
