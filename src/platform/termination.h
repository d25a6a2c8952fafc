#pragma once

#include <functional>

namespace platform {

// Calls handler on the GUI thread when the system asks the process to end
// (terminate or interrupt signals). Needs the application object.
void InstallTerminationHandler(std::function<void()> handler);

}  // namespace platform
