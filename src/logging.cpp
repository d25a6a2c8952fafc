#include "logging.h"

extern "C" {
#include <libavutil/log.h>
}

#include <glog/logging.h>

#include <QDir>
#include <QFile>
#include <QFileInfoList>
#include <QStringList>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>

#include "constants.h"
#include "platform/monitors.h"
#include "platform/process.h"
#include "platform/system_info.h"
#include "settings.h"

namespace {

constexpr char kNotAvailable[] = "N/A";
// Left in the log folder by a crash until the next start tells the user.
constexpr char kCrashNoticeName[] = "crash-untold";
constexpr int kKeptLogEntries = 2;

// Resolved once at start, so that the crash path never asks the settings.
std::string g_logFolder;

std::string WithTrailingSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string LogFolder() {
  return g_logFolder.empty() ? WithTrailingSlash(Settings::LogFolder()) : g_logFolder;
}

// "<log folder><prefix>yyyy-MM-dd-hh-mm-ss-<pid><extension>", local time.
std::string CrashFilePath(const char* prefix, std::int64_t when, const char* extension) {
  std::time_t t = when > 0 ? static_cast<std::time_t>(when) : std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d-%H-%M-%S-", &local);
  return LogFolder() + prefix + stamp + std::to_string(platform::CurrentProcessId()) + extension;
}

// FFmpeg's messages (and its libraries', x264's among them) go to the log at
// the matching severity, one log line per text line; pieces of a line are
// gathered per thread.
void FfmpegLogCallback(void* object, int level, const char* format, va_list args) {
  if (level > av_log_get_level()) return;
  thread_local int printPrefix = 1;
  thread_local std::string pending;
  char text[1024];
  va_list copy;
  va_copy(copy, args);
  av_log_format_line2(object, level, format, copy, text, sizeof(text), &printPrefix);
  va_end(copy);
  pending += text;
  const google::LogSeverity severity = level <= AV_LOG_ERROR     ? google::GLOG_ERROR
                                       : level <= AV_LOG_WARNING ? google::GLOG_WARNING
                                                                 : google::GLOG_INFO;
  for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
    if (end > 0) google::LogMessage("ffmpeg", 0, severity).stream() << pending.substr(0, end);
    pending.erase(0, end + 1);
  }
}

}  // namespace

const char kCrashApology[] = "Korvo录屏碰到错误，给您带来的不便，我们深表歉意！";

bool TakeCrashNotice() {
  const QString notice = QString::fromStdString(LogFolder() + kCrashNoticeName);
  return QFile::exists(notice) && QFile::remove(notice);
}

ExceptionSummary::ExceptionSummary() {
  CopyStringTruncated(code, sizeof(code), kNotAvailable);
  CopyStringTruncated(address, sizeof(address), kNotAvailable);
  CopyStringTruncated(flags, sizeof(flags), kNotAvailable);
}

StackFrame::StackFrame() {
  CopyStringTruncated(module, sizeof(module), kNotAvailable);
  CopyStringTruncated(function, sizeof(function), kNotAvailable);
  CopyStringTruncated(file, sizeof(file), kNotAvailable);
  CopyStringTruncated(line, sizeof(line), kNotAvailable);
}

bool InitLogging() { return InitLogging(Settings::LogFolder()); }

bool InitLogging(const std::string& logFolder) {
  g_logFolder = WithTrailingSlash(logFolder);
  const platform::Result crashHandler = platform::InstallCrashHandler(&CrashHandler);

  if (!google::IsGoogleLoggingInitialized()) google::InitGoogleLogging("sr");
  const std::string base = g_logFolder + "sr";
  google::SetLogDestination(google::GLOG_INFO, base.c_str());
  // The INFO file holds every severity; no second set of files elsewhere.
  google::SetLogDestination(google::GLOG_WARNING, "");
  google::SetLogDestination(google::GLOG_ERROR, "");
  google::SetLogDestination(google::GLOG_FATAL, "");
  google::SetStderrLogging(google::GLOG_ERROR);
  FLAGS_logbufsecs = 0;
  FLAGS_max_log_size = 4;
  FLAGS_stop_logging_if_full_disk = true;
  av_log_set_callback(FfmpegLogCallback);

  if (crashHandler != platform::Result::Ok)
    LOG(ERROR) << "install crash handler failed: " << platform::ResultName(crashHandler);
  CleanOldLogs(g_logFolder);
  return true;
}

void CleanOldLogs() { CleanOldLogs(LogFolder()); }

void CleanOldLogs(const std::string& logFolder) {
  QDir dir(QString::fromStdString(logFolder));
  if (!dir.exists()) {
    std::cerr << "log dir doesn't exists:" << logFolder << std::endl;
    return;
  }
  // Oldest first. glog's "sr.INFO" link is no log of its own.
  const QFileInfoList entries =
      dir.entryInfoList(QStringList() << "sr*", QDir::AllEntries | QDir::NoSymLinks,
                        QDir::Time | QDir::Reversed);
  for (int i = 0; i < entries.size() - kKeptLogEntries; ++i)
    QFile::remove(entries[i].absoluteFilePath());
}

void CrashHandler(const platform::CrashInfo& info) {
  WriteMiniDump(&info);

  std::ofstream stack(CrashFilePath("Zanbo-", info.time, ".stack"));
  const ExceptionSummary summary = FormatExceptionRecord(info);
  stack << "ErrorCode: " << summary.code << std::endl;
  stack << "Address: " << summary.address << std::endl;
  stack << "Flags: " << summary.flags << std::endl;
  for (const StackFrame& frame : WalkStack(info.context)) {
    stack << frame.function << "() : [" << frame.module << "] (File: " << frame.file
          << " @Line " << frame.line << ")" << std::endl;
  }
  stack.close();
  // A user who started the program from a menu sees no stderr.
  std::ofstream(LogFolder() + kCrashNoticeName).close();

  platform::EndProcessAfterCrash(kCrashApology, info);
}

int WriteMiniDump(const platform::CrashInfo* info) {
  const std::string path = CrashFilePath("sr-", info ? info->time : 0, ".dmp");
  return platform::WriteCrashDump(path, info) == platform::Result::Ok ? 1 : -1;
}

std::vector<StackFrame> WalkStack(const platform::CrashContext* context) {
  std::vector<StackFrame> frames;
  for (const platform::StackFrameInfo& info : platform::CaptureStack(context)) {
    StackFrame frame;
    if (!info.module.empty()) {
      // The offset lets addr2line find the source line later.
      char offset[24];
      std::snprintf(offset, sizeof(offset), "+0x%" PRIxPTR, info.moduleOffset);
      CopyStringTruncated(frame.module, sizeof(frame.module), (info.module + offset).c_str());
    }
    if (!info.function.empty())
      CopyStringTruncated(frame.function, sizeof(frame.function), info.function.c_str());
    if (!info.file.empty()) {
      CopyStringTruncated(frame.file, sizeof(frame.file), info.file.c_str());
      std::snprintf(frame.line, sizeof(frame.line), "%d", info.line);
    }
    frames.push_back(frame);
  }
  return frames;
}

ExceptionSummary FormatExceptionRecord(const platform::CrashInfo& info) {
  ExceptionSummary summary;
  std::snprintf(summary.code, sizeof(summary.code), "%08X", static_cast<unsigned>(info.code));
  std::snprintf(summary.address, sizeof(summary.address), "%08X",
                static_cast<unsigned>(info.address & 0xFFFFFFFFu));
  std::snprintf(summary.flags, sizeof(summary.flags), "%08X", static_cast<unsigned>(info.flags));
  return summary;
}

void CopyStringTruncated(char* destination, size_t size, const char* source) {
  if (size == 0 || !destination) return;
  if (!source) source = "";
  const size_t length = std::strlen(source);
  const size_t copied = length < size ? length : size - 1;
  std::memcpy(destination, source, copied);
  destination[copied] = '\0';
}

void LogMachineInfo() {
  LOG(INFO) << "------------------Machine Info Begin---------------------";
  LOG(INFO) << "Version:" << kAppVersion;
  LOG(INFO) << "CPU:" << GetCpuName();
  LOG(INFO) << "System:" << GetSystemDescription();
  LOG(INFO) << "Memory:" << GetTotalMemoryGb() << "G";
  std::vector<std::string> gpus;
  GetGpuDescription(gpus);
  std::string gpuLine = "GPU:";
  for (const std::string& gpu : gpus) gpuLine += gpu + ",";
  LOG(INFO) << gpuLine;
  LOG(INFO) << "System resolution:" << GetScreenResolution();
  LOG(INFO) << "------------------Machine Info End---------------------";
}

std::string GetCpuName() { return platform::CpuName(); }

std::string GetSystemDescription() {
  return platform::OsPrettyName() + " " + platform::OsArchitecture();
}

uint64_t GetTotalMemoryGb() { return platform::TotalMemoryBytes() >> 30; }

void GetGpuDescription(std::vector<std::string>& descriptions) {
  for (const platform::GpuAdapter& adapter : platform::ListGpuAdapters())
    descriptions.push_back(adapter.description);
}

std::string GetScreenResolution() {
  const platform::Rect screen = platform::PrimaryMonitorRect();
  return std::to_string(screen.Width()) + "x" + std::to_string(screen.Height());
}
