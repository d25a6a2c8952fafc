#pragma once

#include <mutex>

#include "platform/input.h"

namespace platform::fake {

// Scriptable pointer: at (0, 0), visible, no button down, queries succeed.
class FakeInput : public Input {
 public:
  static FakeInput& Instance();

  Result QueryPointer(PointerState* state) override;

  void SetPointer(const PointerState& state);
  void SetQueryResult(Result result);
  void Reset();

 private:
  FakeInput() = default;
  std::mutex m_mutex;
  PointerState m_state;
  Result m_result = Result::Ok;
};

}  // namespace platform::fake
