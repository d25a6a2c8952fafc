#include "platform/input.h"

#include "platform/fake/fake_input.h"

namespace platform {
namespace native {
Input& InputInstance();
}

Input& GetInput() {
  if (Backend::IsFake()) return fake::FakeInput::Instance();
  return native::InputInstance();
}

}  // namespace platform
