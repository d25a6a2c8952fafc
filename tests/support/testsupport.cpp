#include "support/testsupport.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "korvorec-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  m_path = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

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
