#include "platform/session.h"

#include "platform/fake/fake_session.h"

namespace platform {
namespace native {
SessionFacility& SessionInstance();
}

SessionFacility& Session() {
  if (Backend::IsFake()) return fake::FakeSession::Instance();
  return native::SessionInstance();
}

}  // namespace platform
