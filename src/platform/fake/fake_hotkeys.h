#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/hotkeys.h"

namespace platform::fake {

// Scriptable hot keys: every combination is free until HoldElsewhere takes
// it for "another program"; Press raises a hot key as the keyboard would.
class FakeHotKeys : public HotKeys {
 public:
  static FakeHotKeys& Instance();

  Result Register(uint32_t key, uint32_t modifiers) override;
  Result Unregister(uint32_t key, uint32_t modifiers) override;

  void HoldElsewhere(uint32_t key, uint32_t modifiers);
  // A press of the combination: delivered to the native event filters when
  // this process holds it. Returns whether a filter took it.
  bool Press(uint32_t key, uint32_t modifiers);
  // Combinations this process holds, as (key, modifiers).
  std::vector<std::pair<uint32_t, uint32_t>> Held();
  void Reset();

 private:
  FakeHotKeys() = default;
  using Combination = std::pair<uint32_t, uint32_t>;
  std::mutex m_mutex;
  std::set<Combination> m_held;
  std::set<Combination> m_elsewhere;
};

}  // namespace platform::fake
