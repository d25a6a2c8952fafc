#include "platform/fake/fake_hotkeys.h"

namespace platform::fake {

FakeHotKeys& FakeHotKeys::Instance() {
  static FakeHotKeys instance;
  return instance;
}

Result FakeHotKeys::Register(uint32_t id, uint32_t key, uint32_t modifiers) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const Combination combination(key, modifiers);
  if (m_held.count(id) || m_elsewhere.count(combination)) return Result::Failed;
  for (const auto& entry : m_held) {
    if (entry.second == combination) return Result::Failed;
  }
  m_held[id] = combination;
  return Result::Ok;
}

Result FakeHotKeys::Unregister(uint32_t id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_held.erase(id) ? Result::Ok : Result::Failed;
}

void FakeHotKeys::HoldElsewhere(uint32_t key, uint32_t modifiers) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_elsewhere.insert(Combination(key, modifiers));
}

bool FakeHotKeys::Press(uint32_t key, uint32_t modifiers) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    bool held = false;
    for (const auto& entry : m_held) held = held || entry.second == Combination(key, modifiers);
    if (!held) return false;
  }
  return DeliverHotKey(key, modifiers);
}

std::vector<std::pair<uint32_t, uint32_t>> FakeHotKeys::Held() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<Combination> held;
  for (const auto& entry : m_held) held.push_back(entry.second);
  return held;
}

void FakeHotKeys::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_held.clear();
  m_elsewhere.clear();
}

}  // namespace platform::fake
