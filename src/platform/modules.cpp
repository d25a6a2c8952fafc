#include "platform/modules.h"

#include <dlfcn.h>
#include <glog/logging.h>
#include <unistd.h>

#include <climits>

namespace platform {

std::string ProgramPath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

std::string ProgramFolder() {
  const std::string path = ProgramPath();
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

ModuleHandle LoadModule(const std::string& fileName) {
  std::string path = fileName;
  if (fileName.find('/') == std::string::npos) {
    const std::string beside = ProgramFolder() + "/" + fileName;
    if (access(beside.c_str(), F_OK) == 0) path = beside;
  }
  if (void* loaded = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) return loaded;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    VLOG(1) << "cannot load " << fileName << ": " << (why ? why : "");
  }
  return handle;
}

ModuleHandle LoadSystemLibrary(const std::string& fileName) {
  if (void* loaded = dlopen(fileName.c_str(), RTLD_NOW | RTLD_NOLOAD)) return loaded;
  void* handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) LOG(ERROR) << "loadlibrarya failed";
  return handle;
}

void UnloadModule(ModuleHandle module) {
  if (module) dlclose(module);
}

void* ResolveSymbol(ModuleHandle module, const char* name) {
  return module ? dlsym(module, name) : nullptr;
}

}  // namespace platform
