#include "platform/fake/fake_shell.h"

#include <QStandardPaths>

namespace platform::fake {

FakeShell& FakeShell::Instance() {
  static FakeShell instance;
  return instance;
}

std::string FakeShell::AppDataFolder() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_appData)
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
  return *m_appData;
}

std::optional<std::string> FakeShell::ReadAutorunEntry(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_autorun.find(name);
  if (it == m_autorun.end()) return std::nullopt;
  return it->second;
}

Result FakeShell::WriteAutorunEntry(const std::string& name, const std::string& command) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_autorun[name] = command;
  ++m_autorunWrites;
  return Result::Ok;
}

Result FakeShell::DeleteAutorunEntry(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_autorun.erase(name) ? Result::Ok : Result::Failed;
}

Result FakeShell::SetTaskbarVisible(bool) { return Result::Unsupported; }
Result FakeShell::SetDesktopIconsVisible(bool) { return Result::Unsupported; }

Result FakeShell::Hibernate() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_powerActions.push_back("hibernate");
  return m_powerResult;
}

Result FakeShell::Shutdown() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_powerActions.push_back("shutdown");
  return m_powerResult;
}

void FakeShell::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_appData.reset();
  m_autorun.clear();
  m_autorunWrites = 0;
  m_powerActions.clear();
  m_powerResult = Result::Ok;
}

void FakeShell::SetAppDataFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_appData = folder;
}

int FakeShell::AutorunWrites() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_autorunWrites;
}

std::vector<std::string> FakeShell::PowerActions() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_powerActions;
}

void FakeShell::SetPowerResult(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_powerResult = result;
}

}  // namespace platform::fake
