#pragma once

#include <string>
#include <vector>

#include "platform/backend.h"

// One display monitor of the desktop.
struct MonitorItem {
  // Looks the rest up from the system; an unknown handle gets an empty name
  // and is not primary.
  MonitorItem(platform::MonitorId monitor, const platform::Rect& rect);

  bool operator==(const MonitorItem& o) const {
    return monitor == o.monitor && rect == o.rect && deviceName == o.deviceName &&
           isPrimary == o.isPrimary;
  }
  bool operator!=(const MonitorItem& o) const { return !(*this == o); }

  platform::MonitorId monitor = 0;
  platform::Rect rect;  // virtual-screen coordinates
  std::wstring deviceName;
  bool isPrimary = false;
};

// The monitors in the system's order, asked afresh at each call.
std::vector<MonitorItem> EnumMonitors();
std::vector<MonitorItem> GetMonitors();
