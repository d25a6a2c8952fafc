#include "loadedlibraries.h"

#include "platform/modules.h"

namespace {

struct GlobalList {
  LoadedLibraryList list;
  ~GlobalList() { FreeLoadedLibraries(list); }
};

GlobalList g_loadedLibraries;

}  // namespace

LoadedLibrary::LoadedLibrary(const std::string& name) : fileName(name) {
  handle = platform::LoadModule(name);
}

LoadedLibrary::~LoadedLibrary() {
  if (handle) platform::UnloadModule(handle);
}

LoadedLibraryList& LoadedLibraries() { return g_loadedLibraries.list; }

void LoadCaptureLibrary(LoadedLibraryList& list) {
  auto library = std::make_unique<LoadedLibrary>(kCaptureLibraryName);
  if (library->handle) list.push_back(std::move(library));
}

LoadedLibrary* FindLoadedLibrary(LoadedLibraryList& list, const std::string& fileName) {
  for (auto& library : list)
    if (library->FileName() == fileName) return library.get();
  return nullptr;
}

void FreeLoadedLibraries(LoadedLibraryList& list) { list.clear(); }
