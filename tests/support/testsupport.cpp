#include "support/testsupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

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

OwnXvfb::OwnXvfb(const std::string& screen) {
  int fds[2];
  if (pipe(fds) != 0) return;
  m_pid = fork();
  if (m_pid == 0) {
    close(fds[0]);
    const std::string fd = std::to_string(fds[1]);
    if (!freopen("/dev/null", "w", stderr)) _exit(127);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-screen", "0", screen.c_str(),
           "-nolisten", "tcp", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  char c;
  while (m_pid > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (!number.empty()) m_display = ":" + number;
  else fprintf(stderr, "Xvfb did not start\n");
}

OwnXvfb::~OwnXvfb() { Kill(SIGTERM); }

void OwnXvfb::Kill(int signal) {
  if (m_pid <= 0) return;
  kill(m_pid, signal);
  waitpid(m_pid, nullptr, 0);
  m_pid = -1;
}

int RunTestsOnOwnDisplay(int argc, char** argv, const char* only) {
  testing::InitGoogleTest(&argc, argv);
  int status = 0;
  if (std::getenv("DISPLAY") && !std::getenv("KORVOREC_OWN_DISPLAY")) {
    if (only) {
      std::string filter = testing::GTEST_FLAG(filter);
      filter += (filter.find('-') == std::string::npos ? "-" : ":") + std::string(only);
      testing::GTEST_FLAG(filter) = filter;
      status = RUN_ALL_TESTS();
    }
    OwnXvfb xvfb;
    if (xvfb.display().empty()) return 1;
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    setenv("KORVOREC_OWN_DISPLAY", "1", 1);
    const pid_t child = fork();
    if (child == 0) {
      execv("/proc/self/exe", argv);
      _exit(127);
    }
    int result = 0;
    waitpid(child, &result, 0);
    return status != 0 || !WIFEXITED(result) ? 1 : WEXITSTATUS(result);
  }
  if (only && testing::GTEST_FLAG(filter) == "*") testing::GTEST_FLAG(filter) = only;
  return RUN_ALL_TESTS();
}

}  // namespace testsupport
