#include "platform/fake/fake_input.h"

namespace platform::fake {

FakeInput& FakeInput::Instance() {
  static FakeInput instance;
  return instance;
}

Result FakeInput::QueryPointer(PointerState* state) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_result == Result::Ok) *state = m_state;
  return m_result;
}

void FakeInput::SetPointer(const PointerState& state) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_state = state;
}

void FakeInput::SetQueryResult(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_result = result;
}

void FakeInput::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_state = PointerState{};
  m_result = Result::Ok;
}

}  // namespace platform::fake
