#include "platform/linux/system_info_linux.h"

#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <cctype>
#include <cstdio>

namespace platform {
namespace native {
namespace {

std::string Trim(const std::string& s) {
  const auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  const auto end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

bool ReadHexFile(const std::filesystem::path& file, uint32_t* value) {
  std::ifstream in(file);
  std::string text;
  if (!(in >> text)) return false;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (end == text.c_str()) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ParseHexId(const std::string& text, uint32_t* id) {
  if (text.size() < 4) return false;
  for (int i = 0; i < 4; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  *id = static_cast<uint32_t>(std::strtoul(text.substr(0, 4).c_str(), nullptr, 16));
  return true;
}

// Looks the wanted vendors and devices up in one pass over pci.ids:
// "vvvv  Vendor name", then "\tdddd  Device name" lines for that vendor.
void DescribeFromPciIds(const std::string& pciIdsFile, std::vector<GpuAdapter>& adapters) {
  std::ifstream in(pciIdsFile);
  if (!in) return;
  std::map<uint32_t, std::string> vendors;
  std::map<std::pair<uint32_t, uint32_t>, std::string> devices;
  std::string line;
  uint32_t vendor = 0;
  bool inVendor = false;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] != '\t') {
      uint32_t id = 0;
      // The device classes ("C xx  name") follow the vendors and end them.
      inVendor = ParseHexId(line, &id) && line.size() > 4 && line[4] == ' ';
      if (!inVendor) continue;
      vendor = id;
      vendors[vendor] = Trim(line.substr(4));
    } else if (inVendor && line.size() > 1 && line[1] != '\t') {
      uint32_t id = 0;
      if (ParseHexId(line.substr(1), &id) && line.size() > 5)
        devices[{vendor, id}] = Trim(line.substr(5));
    }
  }
  for (auto& a : adapters) {
    const auto v = vendors.find(a.vendorId);
    if (v == vendors.end()) continue;
    const auto d = devices.find({a.vendorId, a.deviceId});
    a.description = d == devices.end() ? v->second : v->second + " " + d->second;
  }
}

std::string ReadFirstLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

std::vector<GpuAdapter> ListGpuAdaptersIn(const std::string& pciDevicesFolder,
                                          const std::string& pciIdsFile) {
  namespace fs = std::filesystem;
  std::vector<std::pair<std::string, GpuAdapter>> found;
  std::error_code ec;
  for (fs::directory_iterator it(pciDevicesFolder, ec), end; !ec && it != end; it.increment(ec)) {
    uint32_t pciClass = 0;
    GpuAdapter adapter;
    if (!ReadHexFile(it->path() / "class", &pciClass) || (pciClass >> 16) != 0x03) continue;
    if (!ReadHexFile(it->path() / "vendor", &adapter.vendorId) ||
        !ReadHexFile(it->path() / "device", &adapter.deviceId))
      continue;
    found.emplace_back(it->path().filename().string(), adapter);
  }
  // Bus order, as the firmware enumerates them.
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<GpuAdapter> adapters;
  for (auto& f : found) adapters.push_back(f.second);
  DescribeFromPciIds(pciIdsFile, adapters);
  for (auto& a : adapters) {
    if (!a.description.empty()) continue;
    char text[48];
    std::snprintf(text, sizeof(text), "vendor 0x%04x device 0x%04x", a.vendorId, a.deviceId);
    a.description = text;
  }
  return adapters;
}

std::string CpuName() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (Trim(line.substr(0, colon)) == "model name") return Trim(line.substr(colon + 1));
  }
  return "";
}

std::string OsArchitecture() {
  utsname u{};
  if (uname(&u) != 0) return sizeof(void*) == 8 ? "64-bit" : "32-bit";
  const std::string machine = u.machine;
  const bool is64 = machine.find("64") != std::string::npos || machine == "s390x";
  return is64 ? "64-bit" : "32-bit";
}

std::string OsPrettyName() {
  for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
      std::string value = Trim(line.substr(12));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front())
        value = value.substr(1, value.size() - 2);
      if (!value.empty()) return value;
    }
  }
  utsname u{};
  if (uname(&u) != 0) return "Linux";
  return std::string(u.sysname) + " " + u.release;
}

uint64_t TotalMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

std::vector<GpuAdapter> ListGpuAdapters() {
  return ListGpuAdaptersIn("/sys/bus/pci/devices", "/usr/share/misc/pci.ids");
}

bool LoadNvidiaEncoderRuntime() {
  // Kept loaded for the life of the process.
  static void* const runtime = dlopen("libnvidia-encode.so.1", RTLD_NOW | RTLD_LOCAL);
  return runtime != nullptr;
}

bool IsWaylandSession() {
  const char* type = std::getenv("XDG_SESSION_TYPE");
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return (type && std::string(type) == "wayland") || (display && *display);
}

}  // namespace native
}  // namespace platform
