#include "platform/fake/fake_system_info.h"

namespace platform {
namespace fake {

FakeSystemInfo& FakeSystemInfo::Instance() {
  static FakeSystemInfo instance;
  return instance;
}

void FakeSystemInfo::Reset() { *this = FakeSystemInfo(); }

}  // namespace fake
}  // namespace platform
