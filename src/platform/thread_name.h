#pragma once

namespace platform {

// Names the calling thread for the system's tools (top -H, gdb, the process's
// task list). The system keeps the first 15 characters.
void SetCurrentThreadName(const char* name);

}  // namespace platform
