#include "platform/screen_copy.h"

#include "platform/fake/fake_screen_copy.h"

namespace platform {
namespace native {
Result OpenScreenCopy(std::unique_ptr<ScreenCopy>* out);
}

Result OpenScreenCopy(std::unique_ptr<ScreenCopy>* out) {
  if (Backend::IsFake()) return fake::FakeOpenScreenCopy(out);
  return native::OpenScreenCopy(out);
}

}  // namespace platform
