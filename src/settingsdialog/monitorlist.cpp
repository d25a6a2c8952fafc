#include "settingsdialog/monitorlist.h"

#include <QString>

#include "platform/monitors.h"

namespace {

std::wstring ToWide(const std::string& utf8) {
  return QString::fromStdString(utf8).toStdWString();
}

}  // namespace

MonitorItem::MonitorItem(platform::MonitorId monitor, const platform::Rect& rect)
    : monitor(monitor), rect(rect) {
  const std::vector<platform::MonitorInfo> monitors = platform::GetMonitors().List();
  // The display server may mark no monitor primary; the first one is then,
  // as for the primary rectangle.
  bool anyPrimary = false;
  for (const auto& info : monitors) anyPrimary = anyPrimary || info.primary;
  for (size_t i = 0; i < monitors.size(); ++i) {
    if (monitors[i].id != monitor) continue;
    deviceName = ToWide(monitors[i].deviceName);
    isPrimary = monitors[i].primary || (!anyPrimary && i == 0);
    break;
  }
}

std::vector<MonitorItem> EnumMonitors() {
  std::vector<MonitorItem> monitors;
  for (const auto& info : platform::GetMonitors().List()) monitors.emplace_back(info.id, info.rect);
  return monitors;
}

std::vector<MonitorItem> GetMonitors() { return EnumMonitors(); }
