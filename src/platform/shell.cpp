#include "platform/shell.h"

#include "platform/fake/fake_shell.h"

namespace platform {
namespace native {
ShellFacility& ShellInstance();
}

ShellFacility& Shell() {
  if (Backend::IsFake()) return fake::FakeShell::Instance();
  return native::ShellInstance();
}

std::string AppDataFolder() { return Shell().AppDataFolder(); }
std::optional<std::string> ReadAutorunEntry(const std::string& name) {
  return Shell().ReadAutorunEntry(name);
}
Result WriteAutorunEntry(const std::string& name, const std::string& command) {
  return Shell().WriteAutorunEntry(name, command);
}
Result DeleteAutorunEntry(const std::string& name) { return Shell().DeleteAutorunEntry(name); }
Result SetTaskbarVisible(bool visible) { return Shell().SetTaskbarVisible(visible); }
Result SetDesktopIconsVisible(bool visible) { return Shell().SetDesktopIconsVisible(visible); }
bool CanHideTaskbar() { return Shell().CanHideTaskbar(); }
bool CanHideDesktopIcons() { return Shell().CanHideDesktopIcons(); }
Result HibernateSystem() { return Shell().Hibernate(); }
Result ShutdownSystem() { return Shell().Shutdown(); }

}  // namespace platform
