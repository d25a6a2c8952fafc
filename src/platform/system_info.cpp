#include "platform/system_info.h"

#include "platform/backend.h"
#include "platform/fake/fake_system_info.h"
#include "platform/linux/system_info_linux.h"

namespace platform {

namespace {
fake::FakeSystemInfo& Fake() { return fake::FakeSystemInfo::Instance(); }
}  // namespace

std::string CpuName() { return Backend::IsFake() ? Fake().cpuName : native::CpuName(); }

std::string OsArchitecture() {
  return Backend::IsFake() ? Fake().osArchitecture : native::OsArchitecture();
}

std::string OsPrettyName() {
  return Backend::IsFake() ? Fake().osPrettyName : native::OsPrettyName();
}

uint64_t TotalMemoryBytes() {
  return Backend::IsFake() ? Fake().totalMemoryBytes : native::TotalMemoryBytes();
}

std::vector<GpuAdapter> ListGpuAdapters() {
  return Backend::IsFake() ? Fake().gpus : native::ListGpuAdapters();
}

bool LoadNvidiaEncoderRuntime() {
  return Backend::IsFake() ? Fake().nvidiaEncoderRuntime : native::LoadNvidiaEncoderRuntime();
}

bool IsWaylandSession() { return native::IsWaylandSession(); }

}  // namespace platform
