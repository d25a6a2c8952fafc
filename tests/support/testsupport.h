#pragma once

#include <string>

namespace testsupport {

// A fresh folder under the system temp folder, removed by its destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// This test program's own settings and data folder (XDG_CONFIG_HOME is its
// "config", XDG_DATA_HOME its "data" subfolder).
std::string UserFolder();

// Folder holding the built programs (korvorec, libglance.so).
std::string BuildDir();

// True when the display and sound server of scripts/test are there.
bool HaveDisplay();
bool HavePulse();

// Runs the test program's tests in a child process on a fresh Xvfb of its
// own (when a display is there at all), so that what they do to the screen,
// the pointer, the keyboard or the monitor layout stays away from tests
// running beside them. Returns main's exit code.
int RunTestsOnOwnDisplay(int argc, char** argv);

}  // namespace testsupport
