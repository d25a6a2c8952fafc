#include "platform/crash_report.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace platform {

struct CrashContext {
  const ucontext_t* ucontext = nullptr;
};

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGBUS};
constexpr unsigned kReportTimeLimitSeconds = 10;
constexpr size_t kAltStackSize = 256 * 1024;

std::atomic<CrashCallback> g_callback{nullptr};
std::atomic<long> g_reportingThread{0};
// The loader may name the program as it was started (a relative path).
char g_programPath[4096];

long CurrentThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

[[noreturn]] void DieBySignal(int sig) {
  if (sig > 0) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
  }
  _exit(sig > 0 ? 128 + sig : 1);
}

// Signals sent by kill/raise carry a sender, not an address, in the same union.
bool CarriesFaultAddress(int sig, const siginfo_t* si) {
  if (!si || si->si_code <= 0) return false;
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL;
}

void OnFatalSignal(int sig, siginfo_t* si, void* uc) {
  const long self = CurrentThreadId();
  long expected = 0;
  if (!g_reportingThread.compare_exchange_strong(expected, self)) {
    // A fault while reporting: give up on the report.
    if (expected == self) DieBySignal(sig);
    // Another thread is reporting and will end the process.
    for (;;) pause();
  }
  // A report that hangs (e.g. on a lock the fault left held) still ends.
  alarm(kReportTimeLimitSeconds);

  CrashContext context{static_cast<const ucontext_t*>(uc)};
  CrashInfo info;
  info.code = sig;
  info.flags = si ? si->si_code : 0;
  info.address = CarriesFaultAddress(sig, si)
                     ? static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(si->si_addr))
                     : 0;
  info.time = static_cast<std::int64_t>(std::time(nullptr));
  info.context = &context;

  if (CrashCallback callback = g_callback.load()) callback(info);
  DieBySignal(sig);
}

std::uintptr_t ProgramCounter(const CrashContext* context) {
  if (!context || !context->ucontext) return 0;
  const mcontext_t& m = context->ucontext->uc_mcontext;
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(m.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<std::uintptr_t>(m.gregs[REG_EIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(m.pc);
#else
  (void)m;
  return 0;
#endif
}

StackFrameInfo Resolve(std::uintptr_t address, bool isReturnAddress) {
  StackFrameInfo frame;
  // A return address may already lie past the end of the calling function.
  const std::uintptr_t lookup = isReturnAddress && address > 0 ? address - 1 : address;
  Dl_info dl{};
  if (address == 0 || !dladdr(reinterpret_cast<void*>(lookup), &dl)) return frame;
  if (dl.dli_fname) frame.module = dl.dli_fname;
  if (!frame.module.empty() && frame.module[0] != '/' && g_programPath[0]) frame.module = g_programPath;
  frame.moduleOffset = address - reinterpret_cast<std::uintptr_t>(dl.dli_fbase);
  if (dl.dli_sname) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(dl.dli_sname, nullptr, nullptr, &status), &std::free);
    frame.function = status == 0 && demangled ? demangled.get() : dl.dli_sname;
  }
  return frame;
}

// Signal-safe output helpers for the dump.
void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void WriteText(int fd, const char* text) { WriteAll(fd, text, std::strlen(text)); }

void WriteHex(int fd, std::uint64_t value) {
  char buf[19] = "0x";
  for (int i = 0; i < 16; ++i) buf[2 + i] = "0123456789abcdef"[(value >> (60 - 4 * i)) & 0xf];
  WriteAll(fd, buf, 18);
}

void WriteDecimal(int fd, long long value) {
  char buf[24];
  int pos = sizeof(buf);
  const bool negative = value < 0;
  unsigned long long v = negative ? 0ULL - static_cast<unsigned long long>(value)
                                  : static_cast<unsigned long long>(value);
  do {
    buf[--pos] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (negative) buf[--pos] = '-';
  WriteAll(fd, buf + pos, sizeof(buf) - pos);
}

void WriteField(int fd, const char* name, std::uint64_t value) {
  WriteText(fd, name);
  WriteText(fd, " ");
  WriteHex(fd, value);
  WriteText(fd, "\n");
}

void WriteRegisters(int fd, const CrashContext* context) {
  WriteText(fd, "registers:\n");
  if (!context || !context->ucontext) {
    WriteText(fd, "unavailable\n");
    return;
  }
  const mcontext_t& m = context->ucontext->uc_mcontext;
#if defined(__x86_64__)
  static const struct { const char* name; int index; } kRegs[] = {
      {"rax", REG_RAX}, {"rbx", REG_RBX}, {"rcx", REG_RCX}, {"rdx", REG_RDX},
      {"rsi", REG_RSI}, {"rdi", REG_RDI}, {"rbp", REG_RBP}, {"rsp", REG_RSP},
      {"r8", REG_R8},   {"r9", REG_R9},   {"r10", REG_R10}, {"r11", REG_R11},
      {"r12", REG_R12}, {"r13", REG_R13}, {"r14", REG_R14}, {"r15", REG_R15},
      {"rip", REG_RIP}, {"eflags", REG_EFL}, {"err", REG_ERR}, {"trapno", REG_TRAPNO},
      {"cr2", REG_CR2}};
  for (const auto& r : kRegs) WriteField(fd, r.name, static_cast<std::uint64_t>(m.gregs[r.index]));
#elif defined(__aarch64__)
  static const char* const kNames[] = {"x0",  "x1",  "x2",  "x3",  "x4",  "x5",  "x6",  "x7",
                                       "x8",  "x9",  "x10", "x11", "x12", "x13", "x14", "x15",
                                       "x16", "x17", "x18", "x19", "x20", "x21", "x22", "x23",
                                       "x24", "x25", "x26", "x27", "x28", "x29", "x30"};
  for (int i = 0; i < 31; ++i) WriteField(fd, kNames[i], m.regs[i]);
  WriteField(fd, "sp", m.sp);
  WriteField(fd, "pc", m.pc);
  WriteField(fd, "pstate", m.pstate);
#else
  (void)m;
  WriteText(fd, "unavailable\n");
#endif
}

void CopyMemoryMap(int fd) {
  const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) {
    WriteText(fd, "unavailable\n");
    return;
  }
  char buf[4096];
  for (;;) {
    const ssize_t n = read(maps, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    WriteAll(fd, buf, static_cast<size_t>(n));
  }
  close(maps);
}

}  // namespace

Result InstallCrashHandler(CrashCallback callback) {
  g_callback.store(callback);

  // The handler must run even when the fault is a stack overflow.
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
    static char* altStack = new char[kAltStackSize];
    stack_t ss{};
    ss.ss_sp = altStack;
    ss.ss_size = kAltStackSize;
    ss.ss_flags = 0;
    if (sigaltstack(&ss, nullptr) != 0) return Result::Failed;
  }
  const ssize_t length = readlink("/proc/self/exe", g_programPath, sizeof(g_programPath) - 1);
  g_programPath[length > 0 ? length : 0] = '\0';

  // The first backtrace loads the unwinder; do that now, not in the handler.
  void* warmUp[4];
  backtrace(warmUp, 4);

  struct sigaction action {};
  action.sa_sigaction = &OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int sig : kFatalSignals) sigaddset(&action.sa_mask, sig);
  for (int sig : kFatalSignals)
    if (sigaction(sig, &action, nullptr) != 0) return Result::Failed;
  return Result::Ok;
}

std::vector<StackFrameInfo> CaptureStack(const CrashContext* context) {
  constexpr int kMaxFrames = 128;
  void* addresses[kMaxFrames];
  const int count = backtrace(addresses, kMaxFrames);
  std::vector<StackFrameInfo> frames;

  int first = 1;  // leave out this function
  const std::uintptr_t pc = ProgramCounter(context);
  if (context) {
    int found = -1;
    for (int i = 0; i < count; ++i)
      if (reinterpret_cast<std::uintptr_t>(addresses[i]) == pc) {
        found = i;
        break;
      }
    if (found >= 0) {
      frames.push_back(Resolve(pc, false));
      first = found + 1;
    } else {
      // The unwinder did not get through the signal frame: at least the
      // faulting address, then what it found.
      frames.push_back(Resolve(pc, false));
    }
  }
  for (int i = first; i < count; ++i)
    frames.push_back(Resolve(reinterpret_cast<std::uintptr_t>(addresses[i]), true));
  return frames;
}

Result WriteCrashDump(const std::string& path, const CrashInfo* info) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Result::Failed;
  WriteText(fd, "korvorec crash dump 1\npid: ");
  WriteDecimal(fd, getpid());
  WriteText(fd, "\nthread: ");
  WriteDecimal(fd, CurrentThreadId());
  WriteText(fd, "\n");
  if (info) {
    WriteText(fd, "signal: ");
    WriteDecimal(fd, info->code);
    WriteText(fd, "\ncode: ");
    WriteDecimal(fd, info->flags);
    WriteText(fd, "\naddress: ");
    WriteHex(fd, info->address);
    WriteText(fd, "\ntime: ");
    WriteDecimal(fd, info->time);
    WriteText(fd, "\n");
    WriteRegisters(fd, info->context);
  }
  WriteText(fd, "maps:\n");
  CopyMemoryMap(fd);
  close(fd);
  return Result::Ok;
}

void EndProcessAfterCrash(const std::string& message, const CrashInfo& info) {
  WriteAll(STDERR_FILENO, message.data(), message.size());
  WriteText(STDERR_FILENO, "\n");
  DieBySignal(info.code);
}

}  // namespace platform
