#pragma once

#include <cstdlib>
#include <string>

#include "support/testsupport.h"

namespace guitest {

// Gives this test program a settings store of its own, so that test programs
// running side by side do not change each other's save folder. Children
// started by death tests inherit the parent's folder.
inline void UsePrivateSettingsFolder() {
  if (std::getenv("KORVOREC_TEST_CONFIG_HOME")) return;
  static testsupport::TempDir dir;
  const std::string config = dir.path() + "/config";
  setenv("KORVOREC_TEST_CONFIG_HOME", config.c_str(), 1);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
}

}  // namespace guitest
