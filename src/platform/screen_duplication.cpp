#include "platform/screen_duplication.h"

#include "platform/fake/fake_screen_duplication.h"

namespace platform {
namespace native {
Result DuplicateOutput(const MonitorInfo& output, std::unique_ptr<ScreenDuplication>* out);
Result DuplicateOutputThroughPortal(const MonitorInfo& output,
                                    std::unique_ptr<ScreenDuplication>* out);
Result DuplicatePickedWindowThroughPortal(std::unique_ptr<ScreenDuplication>* out);
void KeepScreenCastPermission(const std::string& token,
                              std::function<void(const std::string&)> save);
}

Result DuplicateOutput(const MonitorInfo& output, std::unique_ptr<ScreenDuplication>* out) {
  if (Backend::IsFake()) return fake::FakeDuplicateOutput(output, out);
  if (Backend::Kind() == BackendKind::Wayland)
    return native::DuplicateOutputThroughPortal(output, out);
  return native::DuplicateOutput(output, out);
}

Result DuplicatePickedWindow(std::unique_ptr<ScreenDuplication>* out) {
  if (Backend::Kind() != BackendKind::Wayland) return Result::Unsupported;
  return native::DuplicatePickedWindowThroughPortal(out);
}

void KeepScreenCastPermission(const std::string& token,
                              std::function<void(const std::string&)> save) {
  native::KeepScreenCastPermission(token, std::move(save));
}

}  // namespace platform
