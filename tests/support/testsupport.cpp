#include "support/testsupport.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace testsupport {
namespace {

// Every test program keeps its settings, logs and data in a folder of its
// own, so programs that ctest runs side by side never share a settings file.
struct PerProcessUserFolders {
  PerProcessUserFolders() {
    std::string templ =
        (std::filesystem::temp_directory_path() / "korvorec-user-XXXXXX").string();
    if (!mkdtemp(templ.data())) return;
    folder = templ;
    setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
  }
  ~PerProcessUserFolders() {
    std::error_code ec;
    if (!folder.empty()) std::filesystem::remove_all(folder, ec);
  }
  std::string folder;
};

PerProcessUserFolders g_userFolders;

}  // namespace

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "korvorec-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  m_path = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::string UserFolder() { return g_userFolders.folder; }

std::string BuildDir() {
  const char* dir = std::getenv("KORVOREC_BUILD_DIR");
  return dir ? dir : ".";
}

bool HaveDisplay() {
  const char* d = std::getenv("DISPLAY");
  return d && *d;
}

bool HavePulse() {
  const char* s = std::getenv("PULSE_SERVER");
  return s && *s;
}

}  // namespace testsupport
