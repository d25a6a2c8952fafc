#pragma once

#include <string>

#include "platform/backend.h"

namespace platform {

// Loads a shared library by file name: a name without a folder is looked up
// beside the program first, then by the system's search path. An already
// loaded module is reused. Null on failure (the reason is logged).
ModuleHandle LoadModule(const std::string& fileName);
// Loads a library from the system's library folders only.
ModuleHandle LoadSystemLibrary(const std::string& fileName);
void UnloadModule(ModuleHandle module);
void* ResolveSymbol(ModuleHandle module, const char* name);

// Folder of the running program, without a trailing slash.
std::string ProgramFolder();
// Full path of the running program.
std::string ProgramPath();

}  // namespace platform
