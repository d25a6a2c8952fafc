#include "platform/windows.h"

#include "platform/fake/fake_windows.h"

namespace platform {
namespace native {
WindowSystem& WindowSystemInstance();
}

WindowSystem& Windows() {
  if (Backend::IsFake()) return fake::FakeWindows::Instance();
  return native::WindowSystemInstance();
}

}  // namespace platform
