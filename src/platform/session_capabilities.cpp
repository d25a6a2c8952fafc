#include "platform/session_capabilities.h"

namespace platform {
namespace native {
SessionCapabilities WaylandCapabilities();
}

const SessionCapabilities& GetSessionCapabilities() {
  static const SessionCapabilities capabilities =
      Backend::Kind() == BackendKind::Wayland ? native::WaylandCapabilities()
                                              : SessionCapabilities{};
  return capabilities;
}

}  // namespace platform
