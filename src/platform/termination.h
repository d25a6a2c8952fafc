#pragma once

#include <functional>

namespace platform {

// Calls handler on the GUI thread when the system asks the process to end
// (terminate or interrupt signals). Needs the application object.
void InstallTerminationHandler(std::function<void()> handler);

// Calls finish on the GUI thread when the connection to the window system
// breaks (the X server ended, the user logged out), then ends the process
// with exit code 1. finish must not need the window system. Install once,
// after the application object exists.
void InstallDisplayLossHandler(std::function<void()> finish);

}  // namespace platform
