#include "platform/screen_duplication.h"

#include "platform/fake/fake_screen_duplication.h"

namespace platform {
namespace native {
Result DuplicateOutput(const MonitorInfo& output, std::unique_ptr<ScreenDuplication>* out);
}

Result DuplicateOutput(const MonitorInfo& output, std::unique_ptr<ScreenDuplication>* out) {
  if (Backend::IsFake()) return fake::FakeDuplicateOutput(output, out);
  return native::DuplicateOutput(output, out);
}

}  // namespace platform
