#include "platform/backend.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace native {
bool DisplayReachable(std::string* why);
bool IsWaylandSession();
}

namespace {

BackendKind Detect() {
  const char* forced = std::getenv("KORVOREC_PLATFORM");
  if (forced && std::strcmp(forced, "fake") == 0) return BackendKind::Fake;
  return native::IsWaylandSession() ? BackendKind::Wayland : BackendKind::X11;
}

std::atomic<int>& Selected() {
  static std::atomic<int> kind{static_cast<int>(Detect())};
  return kind;
}

}  // namespace

const char* ResultName(Result result) {
  switch (result) {
    case Result::Ok: return "Ok";
    case Result::AccessLost: return "AccessLost";
    case Result::Timeout: return "Timeout";
    case Result::DeviceInvalidated: return "DeviceInvalidated";
    case Result::Unsupported: return "Unsupported";
    case Result::Failed: return "Failed";
  }
  return "Unknown";
}

BackendKind Backend::Kind() { return static_cast<BackendKind>(Selected().load()); }

void Backend::Use(BackendKind kind) { Selected().store(static_cast<int>(kind)); }

bool Backend::DisplayReachable(std::string* why) {
  return IsFake() || native::DisplayReachable(why);
}

}  // namespace platform
