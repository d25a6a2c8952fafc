#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/crash_report.h"

// Text of a fatal fault's code, address and flags; each "N/A" until filled.
struct ExceptionSummary {
  ExceptionSummary();
  char code[32];
  char address[32];
  char flags[32];
};

// One frame of a crashed thread's stack; each field "N/A" until filled.
struct StackFrame {
  StackFrame();
  char module[1024];
  char function[1024];
  char file[1024];
  char line[1024];
};

// Starts glog ("sr" files in the log folder), routes fatal faults to
// CrashHandler and trims the log folder. Always true.
bool InitLogging();
// The same with an explicit log folder.
bool InitLogging(const std::string& logFolder);

// Deletes all but the two most recently modified "sr*" entries of the log
// folder. Stack files ("Zanbo-*") are never touched.
void CleanOldLogs();
void CleanOldLogs(const std::string& logFolder);

// Writes the dump and the stack file into the log folder, then ends the
// process with an apology to the user.
void CrashHandler(const platform::CrashInfo& info);
extern const char kCrashApology[];
// Whether the program crashed since the last call (a note the crash handler
// leaves in the log folder, taken away here).
bool TakeCrashNotice();
// 1 when the dump was written, -1 when it could not be.
int WriteMiniDump(const platform::CrashInfo* info);
// Faulting frame first.
std::vector<StackFrame> WalkStack(const platform::CrashContext* context);
ExceptionSummary FormatExceptionRecord(const platform::CrashInfo& info);
void CopyStringTruncated(char* destination, size_t size, const char* source);

// Writes the machine-information block to the log.
void LogMachineInfo();
std::string GetCpuName();
std::string GetSystemDescription();
uint64_t GetTotalMemoryGb();
void GetGpuDescription(std::vector<std::string>& descriptions);
std::string GetScreenResolution();
