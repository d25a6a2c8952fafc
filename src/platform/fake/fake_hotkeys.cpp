#include "platform/fake/fake_hotkeys.h"

namespace platform::fake {

FakeHotKeys& FakeHotKeys::Instance() {
  static FakeHotKeys instance;
  return instance;
}

Result FakeHotKeys::Register(uint32_t key, uint32_t modifiers) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const Combination combination(key, modifiers);
  if (m_held.count(combination) || m_elsewhere.count(combination)) return Result::Failed;
  m_held.insert(combination);
  return Result::Ok;
}

Result FakeHotKeys::Unregister(uint32_t key, uint32_t modifiers) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_held.erase(Combination(key, modifiers)) ? Result::Ok : Result::Failed;
}

void FakeHotKeys::HoldElsewhere(uint32_t key, uint32_t modifiers) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_elsewhere.insert(Combination(key, modifiers));
}

bool FakeHotKeys::Press(uint32_t key, uint32_t modifiers) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_held.count(Combination(key, modifiers))) return false;
  }
  return DeliverHotKey(key, modifiers);
}

std::vector<std::pair<uint32_t, uint32_t>> FakeHotKeys::Held() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::vector<Combination>(m_held.begin(), m_held.end());
}

void FakeHotKeys::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_held.clear();
  m_elsewhere.clear();
}

}  // namespace platform::fake
