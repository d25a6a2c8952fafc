#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/shell.h"

namespace platform::fake {

// Autorun entries in memory; power actions recorded, never carried out.
class FakeShell : public ShellFacility {
 public:
  static FakeShell& Instance();

  std::string AppDataFolder() override;
  std::optional<std::string> ReadAutorunEntry(const std::string& name) override;
  Result WriteAutorunEntry(const std::string& name, const std::string& command) override;
  Result DeleteAutorunEntry(const std::string& name) override;
  Result SetTaskbarVisible(bool visible) override;
  Result SetDesktopIconsVisible(bool visible) override;
  Result Hibernate() override;
  Result Shutdown() override;

  void Reset();
  // "" plays a system that does not know the folder.
  void SetAppDataFolder(const std::string& folder);
  int AutorunWrites() const;
  std::vector<std::string> PowerActions() const;
  void SetPowerResult(Result result);

 private:
  mutable std::mutex m_mutex;
  std::optional<std::string> m_appData;  // none: the user's real data folder
  std::map<std::string, std::string> m_autorun;
  int m_autorunWrites = 0;
  std::vector<std::string> m_powerActions;
  Result m_powerResult = Result::Ok;
};

}  // namespace platform::fake
