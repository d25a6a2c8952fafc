#include "platform/monitors.h"

#include "platform/fake/fake_monitors.h"

namespace platform {
namespace native {
Monitors& MonitorsInstance();
}

Monitors& GetMonitors() {
  if (Backend::IsFake()) return fake::FakeMonitors::Instance();
  return native::MonitorsInstance();
}

bool FindMonitor(MonitorId id, MonitorInfo* info) {
  for (const auto& m : GetMonitors().List()) {
    if (m.id == id) {
      if (info) *info = m;
      return true;
    }
  }
  return false;
}

Rect PrimaryMonitorRect() {
  const auto monitors = GetMonitors().List();
  for (const auto& m : monitors)
    if (m.primary) return m.rect;
  return monitors.empty() ? Rect{} : monitors.front().rect;
}

}  // namespace platform
