#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/backend.h"

namespace platform {

// The machine state at the moment of a fatal fault; only the backend looks inside.
struct CrashContext;

struct CrashInfo {
  int code = 0;               // signal number
  std::uint64_t address = 0;  // faulting address (0 when the signal carries none)
  int flags = 0;              // the signal's sub-code (si_code)
  std::int64_t time = 0;      // seconds since the epoch when the fault was caught
  const CrashContext* context = nullptr;
};

// Called on the faulting thread, on an alternate stack for the installing
// thread. Expected to end the process (EndProcessAfterCrash).
using CrashCallback = void (*)(const CrashInfo& info);

// Routes the fatal signals (segmentation fault, abort, arithmetic error,
// illegal instruction, bus error) to the callback.
Result InstallCrashHandler(CrashCallback callback);

struct StackFrameInfo {
  std::string module;              // path of the module holding the address; "" when unknown
  std::uintptr_t moduleOffset = 0; // address relative to the module's load base
  std::string function;            // demangled name; "" when unknown
  std::string file;                // "" when unknown
  int line = 0;                    // 0 when unknown
};

// The stack of the current thread, faulting frame first when a context is
// given (frames of the crash machinery itself are left out).
std::vector<StackFrameInfo> CaptureStack(const CrashContext* context);

// Writes a dump of the fault (signal, registers, memory map of the process).
// Without info only the memory map is written.
Result WriteCrashDump(const std::string& path, const CrashInfo* info);

// Shows the message to the user and ends the process as the signal would
// have (or with a non-zero status). Never returns.
[[noreturn]] void EndProcessAfterCrash(const std::string& message, const CrashInfo& info);

}  // namespace platform
