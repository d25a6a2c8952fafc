#include <gtest/gtest.h>
#include <glog/logging.h>

#include <QDir>
#include <QString>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "constants.h"
#include "logging.h"
#include "platform/fake/fake_monitors.h"
#include "platform/fake/fake_system_info.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;

namespace {

const char kApology[] = "Korvo录屏碰到错误，给您带来的不便，我们深表歉意！";

void Touch(const fs::path& file, int ageSeconds) {
  std::ofstream(file) << "x";
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Lines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The dump and stack file of one crash, matched by their shared time and pid.
struct CrashFiles {
  fs::path dump;
  fs::path stack;
};

CrashFiles FindCrashFiles(const std::string& folder) {
  const std::regex dumpName(R"(sr-(\d{4}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2}-\d+)\.dmp)");
  const std::regex stackName(R"(Zanbo-(\d{4}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2}-\d+)\.stack)");
  std::string dumpKey, stackKey;
  CrashFiles files;
  for (const auto& name : Names(folder)) {
    std::smatch m;
    if (std::regex_match(name, m, dumpName)) {
      EXPECT_TRUE(files.dump.empty()) << "second dump " << name;
      files.dump = fs::path(folder) / name;
      dumpKey = m[1];
    } else if (std::regex_match(name, m, stackName)) {
      EXPECT_TRUE(files.stack.empty()) << "second stack file " << name;
      files.stack = fs::path(folder) / name;
      stackKey = m[1];
    }
  }
  EXPECT_EQ(dumpKey, stackKey);
  return files;
}

const std::regex kFrameLine(R"(.+\(\) : \[.+\] \(File: .+ @Line .+\))");

// Collects what is logged while it lives.
class CapturedLog : public google::LogSink {
 public:
  CapturedLog() { google::AddLogSink(this); }
  ~CapturedLog() override { google::RemoveLogSink(this); }
  void send(google::LogSeverity, const char*, const char*, int, const struct ::tm*,
            const char* message, size_t length) override {
    lines.emplace_back(message, length);
  }
  std::vector<std::string> lines;
};

}  // namespace

TEST(CleanOldLogs, KeepsTheTwoNewestLogEntriesAndEveryStackFile) {
  testsupport::TempDir dir;
  const fs::path d = dir.path();
  // Name order is the opposite of age order, so sorting by name would fail.
  Touch(d / "sr-a-newest.dmp", 10);
  Touch(d / "sr-b-second.log", 20);
  Touch(d / "sr-c.log", 30);
  Touch(d / "sr-d.log", 40);
  Touch(d / "sr-e-oldest.dmp", 50);
  Touch(d / "Zanbo-2020-01-01-00-00-00-1.stack", 100);
  Touch(d / "Zanbo-2020-01-01-00-00-01-2.stack", 5);
  Touch(d / "other.txt", 200);
  // glog's link to the current log neither counts nor goes.
  fs::create_symlink("sr-b-second.log", d / "sr.INFO");

  CleanOldLogs(dir.path());

  EXPECT_EQ(Names(dir.path()),
            (std::vector<std::string>{"Zanbo-2020-01-01-00-00-00-1.stack",
                                      "Zanbo-2020-01-01-00-00-01-2.stack", "other.txt",
                                      "sr-a-newest.dmp", "sr-b-second.log", "sr.INFO"}));

  // Two or fewer are left alone.
  CleanOldLogs(dir.path());
  EXPECT_EQ(Names(dir.path()).size(), 6u);
}

TEST(CleanOldLogs, MissingFolderIsReportedNotCreated) {
  testsupport::TempDir dir;
  const std::string missing = dir.path() + "/nope/";
  testing::internal::CaptureStderr();
  CleanOldLogs(missing);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("log dir doesn't exists:" + missing), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(missing));
}

TEST(CrashText, CopyStringTruncatedAndSummaries) {
  char buf[8];
  std::memset(buf, 'z', sizeof(buf));
  CopyStringTruncated(buf, 0, "abc");
  EXPECT_EQ(buf[0], 'z');
  CopyStringTruncated(buf, sizeof(buf), "abc");
  EXPECT_STREQ(buf, "abc");
  CopyStringTruncated(buf, sizeof(buf), "12345678");  // exactly the size: one byte too long
  EXPECT_STREQ(buf, "1234567");
  CopyStringTruncated(buf, 3, "abcdef");
  EXPECT_STREQ(buf, "ab");

  EXPECT_STREQ(ExceptionSummary().code, "N/A");
  EXPECT_STREQ(StackFrame().line, "N/A");

  platform::CrashInfo info;
  info.code = 11;
  info.address = 0x0000123456789ABCull;  // above 4 GiB: low 32 bits only
  info.flags = -6;                      // sent by raise()
  const ExceptionSummary s = FormatExceptionRecord(info);
  EXPECT_STREQ(s.code, "0000000B");
  EXPECT_STREQ(s.address, "56789ABC");
  EXPECT_STREQ(s.flags, "FFFFFFFA");
}

TEST(CrashReport, StackWithoutContextStartsInTheCaller) {
  const std::vector<StackFrame> frames = WalkStack(nullptr);
  ASSERT_FALSE(frames.empty());
  for (const StackFrame& f : frames) {
    // No debug lookup: file and line stay unknown together.
    EXPECT_EQ(std::string(f.file) == "N/A", std::string(f.line) == "N/A");
  }
  // A module is always written with its offset for addr2line.
  EXPECT_TRUE(std::regex_search(frames.front().module, std::regex(R"(logging_test\+0x[0-9a-f]+$)")))
      << frames.front().module;
}

TEST(CrashReport, UnwritableDumpIsReported) {
  testsupport::TempDir dir;
  InitLogging(dir.path() + "/missing/");
  platform::CrashInfo info;
  EXPECT_EQ(WriteMiniDump(&info), -1);
  InitLogging(dir.path());
  EXPECT_EQ(WriteMiniDump(&info), 1);
  EXPECT_EQ(WriteMiniDump(nullptr), 1);
  google::SetLogDestination(google::GLOG_INFO, "");  // the folder goes away
}

// FFmpeg's messages reach the log file line by line at their severity, not
// stderr; those below FFmpeg's level stay out.
TEST(Logging, FfmpegMessagesGoToTheLog) {
  testsupport::TempDir dir;
  InitLogging(dir.path());
  av_log(nullptr, AV_LOG_WARNING, "ffmpeg says %d", 42);
  av_log(nullptr, AV_LOG_WARNING, " in two pieces\n");
  av_log(nullptr, AV_LOG_ERROR, "ffmpeg failed\n");
  av_log(nullptr, AV_LOG_DEBUG, "ffmpeg chatter\n");
  const std::string log = ReadAll(fs::path(dir.path()) / "sr.INFO");
  google::SetLogDestination(google::GLOG_INFO, "");  // the folder goes away
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\nW[^\n]*\] ffmpeg says 42 in two pieces\n)")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\nE[^\n]*\] ffmpeg failed\n)")));
  EXPECT_EQ(log.find("chatter"), std::string::npos);
}

// A write to an unmapped address above 4 GiB inside a library function.
void CrashInLibc(const std::string& folder) {
  InitLogging(folder);
  LOG(INFO) << "about to crash";
  volatile std::uintptr_t bad = 0x100000000010ull;
  volatile size_t size = 16;
  std::memset(reinterpret_cast<void*>(bad), 0, size);
}

TEST(CrashReportDeathTest, SegmentationFaultWritesDumpAndStackAndApologises) {
  GTEST_FLAG_SET(death_test_style, "fast");
  testsupport::TempDir dir;
  EXPECT_EXIT(CrashInLibc(dir.path()), testing::KilledBySignal(SIGSEGV), kApology);

  const CrashFiles files = FindCrashFiles(dir.path());
  ASSERT_FALSE(files.dump.empty());
  ASSERT_FALSE(files.stack.empty());

  const std::vector<std::string> lines = Lines(files.stack);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "ErrorCode: 0000000B");
  EXPECT_EQ(lines[1], "Address: 00000010");
  EXPECT_EQ(lines[2], "Flags: 00000001");  // address not mapped
  for (size_t i = 3; i < lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(lines[i], kFrameLine)) << lines[i];
  // The faulting frame comes first, not the crash machinery.
  EXPECT_NE(lines[3].find("libc.so"), std::string::npos) << lines[3];
  EXPECT_NE(lines[3].find("(File: N/A @Line N/A)"), std::string::npos) << lines[3];
  const std::string all = ReadAll(files.stack);
  // Program frames name the program by its full path, for addr2line.
  EXPECT_TRUE(std::regex_search(all, std::regex(R"(\[/\S+/logging_test\+0x[0-9a-f]+\])"))) << all;

  const std::string dump = ReadAll(files.dump);
  EXPECT_EQ(dump.rfind("korvorec crash dump 1\n", 0), 0u);
  EXPECT_NE(dump.find("\nsignal: 11\n"), std::string::npos);
  EXPECT_NE(dump.find("\naddress: 0x0000100000000010\n"), std::string::npos);
  EXPECT_NE(dump.find("\nrip 0x"), std::string::npos);
  EXPECT_NE(dump.find("\nmaps:\n"), std::string::npos);
  EXPECT_NE(dump.find("logging_test"), std::string::npos);  // the memory map names the program

  // The log itself went to the same folder.
  const auto names = Names(dir.path());
  EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const std::string& n) {
    return n.rfind("sr", 0) == 0 && n.find(".dmp") == std::string::npos;
  }));
}

void UncaughtExceptionInWorker(const std::string& folder) {
  InitLogging(folder);
  std::thread worker([] { throw std::runtime_error("lost"); });
  worker.join();
}

TEST(CrashReportDeathTest, UncaughtExceptionOnAWorkerThreadIsReported) {
  GTEST_FLAG_SET(death_test_style, "fast");
  testsupport::TempDir dir;
  EXPECT_EXIT(UncaughtExceptionInWorker(dir.path()), testing::KilledBySignal(SIGABRT), kApology);

  const CrashFiles files = FindCrashFiles(dir.path());
  ASSERT_FALSE(files.dump.empty());
  ASSERT_FALSE(files.stack.empty());
  const std::vector<std::string> lines = Lines(files.stack);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "ErrorCode: 00000006");
  // abort() sends the signal to itself: there is no fault address.
  EXPECT_EQ(lines[1], "Address: 00000000");
  EXPECT_EQ(lines[2], "Flags: FFFFFFFA");
  for (size_t i = 3; i < lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(lines[i], kFrameLine)) << lines[i];
}

TEST(MachineInfo, LinesInOrderFromTheFakeMachine) {
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& machine = platform::fake::FakeSystemInfo::Instance();
  machine.Reset();
  machine.cpuName = "Test CPU";
  machine.osPrettyName = "Test Linux 12";
  machine.totalMemoryBytes = (16ull << 30) - (100ull << 20);  // 15.9 GiB
  machine.gpus = {{0x10de, 0x1c82, "NVIDIA GP107"}, {0x8086, 0x3e92, "Intel UHD 630"}};
  platform::fake::FakeMonitors::Instance().Reset();

  std::vector<std::string> lines;
  {
    CapturedLog log;
    LogMachineInfo();
    lines = log.lines;
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "------------------Machine Info Begin---------------------",
                       std::string("Version:") + kAppVersion,
                       "CPU:Test CPU",
                       "System:Test Linux 12 64-bit",
                       "Memory:15G",
                       "GPU:NVIDIA GP107,Intel UHD 630,",
                       "System resolution:1920x1080",
                       "------------------Machine Info End---------------------",
                   }));

  machine.gpus.clear();
  machine.osArchitecture = "32-bit";
  {
    CapturedLog log;
    LogMachineInfo();
    lines = log.lines;
  }
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[3], "System:Test Linux 12 32-bit");
  EXPECT_EQ(lines[5], "GPU:");
  machine.Reset();
}

TEST(MachineInfo, RealMachineUnderXvfb) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  std::vector<std::string> lines;
  {
    CapturedLog log;
    LogMachineInfo();
    lines = log.lines;
  }
  const char* const prefixes[] = {"------------------Machine Info Begin", "Version:", "CPU:",
                                  "System:", "Memory:", "GPU:", "System resolution:",
                                  "------------------Machine Info End"};
  ASSERT_EQ(lines.size(), 8u);
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(prefixes[i], 0), 0u) << lines[i];
  EXPECT_TRUE(std::regex_match(lines[4], std::regex("Memory:[0-9]+G"))) << lines[4];
  EXPECT_EQ(lines[6], "System resolution:1920x1080");
}
