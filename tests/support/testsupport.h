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

// A private Xvfb (1920x1080 at depth 24 unless screen says otherwise, as
// Xvfb's -screen takes it), ended by the destructor or Kill. display() is
// like ":5"; empty when the server did not start.
class OwnXvfb {
 public:
  explicit OwnXvfb(const std::string& screen = "1920x1080x24");
  ~OwnXvfb();
  OwnXvfb(const OwnXvfb&) = delete;
  OwnXvfb& operator=(const OwnXvfb&) = delete;
  const std::string& display() const { return m_display; }
  void Kill(int signal);

 private:
  int m_pid = -1;
  std::string m_display;
};

// Runs the test program's tests in a child process on a fresh Xvfb of its
// own (when a display is there at all), so that what they do to the screen,
// the pointer, the keyboard or the monitor layout stays away from tests
// running beside them. With only, just the tests that this filter names
// run there (a bare server: no window manager, no compositor), the others
// here. Returns main's exit code.
int RunTestsOnOwnDisplay(int argc, char** argv, const char* only = nullptr);

}  // namespace testsupport
