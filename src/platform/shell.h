#pragma once

#include <optional>
#include <string>

#include "platform/backend.h"

namespace platform {

class ShellFacility {
 public:
  virtual ~ShellFacility() = default;
  virtual std::string AppDataFolder() = 0;
  virtual std::optional<std::string> ReadAutorunEntry(const std::string& name) = 0;
  virtual Result WriteAutorunEntry(const std::string& name, const std::string& command) = 0;
  virtual Result DeleteAutorunEntry(const std::string& name) = 0;
  virtual Result SetTaskbarVisible(bool visible) = 0;
  virtual Result SetDesktopIconsVisible(bool visible) = 0;
  // Whether the two calls above can do anything on this desktop.
  virtual bool CanHideTaskbar() { return false; }
  virtual bool CanHideDesktopIcons() { return false; }
  virtual Result Hibernate() = 0;
  virtual Result Shutdown() = 0;
};

ShellFacility& Shell();

// The user's application-data folder (XDG data home), no trailing slash;
// "" when unknown.
std::string AppDataFolder();

// Autorun entries: a command started when the user's session starts.
std::optional<std::string> ReadAutorunEntry(const std::string& name);
Result WriteAutorunEntry(const std::string& name, const std::string& command);
Result DeleteAutorunEntry(const std::string& name);

// Hiding the desktop's own parts while recording.
Result SetTaskbarVisible(bool visible);
Result SetDesktopIconsVisible(bool visible);
bool CanHideTaskbar();
bool CanHideDesktopIcons();

// Power actions.
Result HibernateSystem();
Result ShutdownSystem();

}  // namespace platform
