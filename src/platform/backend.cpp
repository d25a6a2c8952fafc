#include "platform/backend.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

BackendKind Detect() {
  const char* forced = std::getenv("KORVOREC_PLATFORM");
  if (forced && std::strcmp(forced, "fake") == 0) return BackendKind::Fake;
  if (forced && std::strcmp(forced, "x11") == 0) return BackendKind::X11;
  const char* display = std::getenv("DISPLAY");
  return (display && *display) ? BackendKind::X11 : BackendKind::Fake;
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

}  // namespace platform
