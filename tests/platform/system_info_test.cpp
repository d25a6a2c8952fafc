#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/backend.h"
#include "platform/linux/process_linux.h"
#include "platform/linux/system_info_linux.h"
#include "platform/process.h"
#include "platform/system_info.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;

namespace {

void AddPciDevice(const fs::path& root, const std::string& slot, const std::string& cls,
                  const std::string& vendor, const std::string& device) {
  fs::create_directories(root / slot);
  std::ofstream(root / slot / "class") << cls << "\n";
  std::ofstream(root / slot / "vendor") << vendor << "\n";
  std::ofstream(root / slot / "device") << device << "\n";
}

}  // namespace

TEST(SystemInfo, DisplayControllersFromSysfsDescribedByPciIds) {
  testsupport::TempDir dir;
  const fs::path devices = fs::path(dir.path()) / "devices";
  AddPciDevice(devices, "0000:01:00.0", "0x030000", "0x10de", "0x1c82");  // VGA, known
  AddPciDevice(devices, "0000:00:02.0", "0x038000", "0x8086", "0x9999");  // display, unknown device
  AddPciDevice(devices, "0000:00:1f.6", "0x020000", "0x8086", "0x15bc");  // network: not a GPU
  AddPciDevice(devices, "0000:02:00.0", "0x030200", "0x1234", "0xabcd");  // unknown vendor
  fs::create_directories(devices / "0000:03:00.0");                        // unreadable entry

  const fs::path ids = fs::path(dir.path()) / "pci.ids";
  std::ofstream(ids) << "# comment\n"
                        "10de  NVIDIA Corporation\n"
                        "\t1c81  GP107 [GeForce GTX 1050 3GB]\n"
                        "\t1c82  GP107 [GeForce GTX 1050 Ti]\n"
                        "\t\t1043 8613  subsystem line\n"
                        "8086  Intel Corporation\n"
                        "\t15bc  Ethernet Connection\n"
                        "C 03  Display controller\n"
                        "\t00  VGA compatible controller\n";

  const auto gpus = platform::native::ListGpuAdaptersIn(devices.string(), ids.string());
  ASSERT_EQ(gpus.size(), 3u);
  // Bus order.
  EXPECT_EQ(gpus[0].vendorId, 0x8086u);
  EXPECT_EQ(gpus[0].deviceId, 0x9999u);
  EXPECT_EQ(gpus[0].description, "Intel Corporation");
  EXPECT_EQ(gpus[1].description, "NVIDIA Corporation GP107 [GeForce GTX 1050 Ti]");
  EXPECT_EQ(gpus[2].description, "vendor 0x1234 device 0xabcd");

  // Without the database every adapter still gets a description.
  const auto bare = platform::native::ListGpuAdaptersIn(devices.string(), dir.path() + "/none");
  ASSERT_EQ(bare.size(), 3u);
  EXPECT_EQ(bare[1].description, "vendor 0x10de device 0x1c82");

  EXPECT_TRUE(platform::native::ListGpuAdaptersIn(dir.path() + "/none", ids.string()).empty());
}

TEST(SystemInfo, ParentIdFromStatText) {
  using platform::native::ParentPidFromStat;
  EXPECT_EQ(ParentPidFromStat("1234 (korvorec) S 42 1234 1234 0 -1"), 42);
  // The command name may hold blanks and parentheses.
  EXPECT_EQ(ParentPidFromStat("1234 (a) b (c) R 77 1 1"), 77);
  EXPECT_EQ(ParentPidFromStat(""), 0);
  EXPECT_EQ(ParentPidFromStat("1234 (x"), 0);
  EXPECT_EQ(ParentPidFromStat("1234 (x) S"), 0);

  EXPECT_GT(platform::ParentProcessId(), 0);
  EXPECT_NE(platform::ParentProcessId(), platform::CurrentProcessId());
}

TEST(SystemInfo, ThisMachine) {
  platform::Backend::Use(platform::BackendKind::X11);
  EXPECT_GE(platform::TotalMemoryBytes(), 64ull << 20);
  EXPECT_FALSE(platform::OsPrettyName().empty());
  const std::string arch = platform::OsArchitecture();
  EXPECT_TRUE(arch == "64-bit" || arch == "32-bit") << arch;
  // Without an NVIDIA driver the runtime is simply absent; loading twice agrees.
  EXPECT_EQ(platform::LoadNvidiaEncoderRuntime(), platform::LoadNvidiaEncoderRuntime());
}
