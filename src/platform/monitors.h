#pragma once

#include <string>
#include <vector>

#include "platform/backend.h"

namespace platform {

struct MonitorInfo {
  MonitorId id = 0;
  Rect rect;               // in virtual-screen pixels
  std::string deviceName;  // stable name of the output, e.g. "DP-1" or "screen"
  bool primary = false;
};

class Monitors {
 public:
  virtual ~Monitors() = default;
  // In the order the display server gives them.
  virtual std::vector<MonitorInfo> List() = 0;
  // Logical dots per inch of the named monitor (x, y); 96 when unknown.
  virtual void Dpi(const std::string& deviceName, int* dpiX, int* dpiY) = 0;
};

Monitors& GetMonitors();

// The monitor with this id; false when the display server has none such.
bool FindMonitor(MonitorId id, MonitorInfo* info);

// The primary monitor's rectangle; the first monitor when none is marked
// primary; empty when there are none.
Rect PrimaryMonitorRect();

}  // namespace platform
