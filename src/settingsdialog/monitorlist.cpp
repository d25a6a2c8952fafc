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
  for (const auto& info : platform::GetMonitors().List()) {
    if (info.id != monitor) continue;
    deviceName = ToWide(info.deviceName);
    isPrimary = info.primary;
    break;
  }
}

std::vector<MonitorItem> EnumMonitors() {
  std::vector<MonitorItem> monitors;
  for (const auto& info : platform::GetMonitors().List()) monitors.emplace_back(info.id, info.rect);
  return monitors;
}

std::vector<MonitorItem> GetMonitors() { return EnumMonitors(); }
