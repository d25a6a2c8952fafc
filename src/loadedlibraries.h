#pragma once

#include <list>
#include <memory>
#include <string>

#include "platform/backend.h"

// File name of the capture library, loaded from beside the program.
inline constexpr char kCaptureLibraryName[] = "libglance.so";

// A module loaded by file name; frees it on destruction.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const std::string& fileName);
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  std::string FileName() const { return fileName; }

  platform::ModuleHandle handle = nullptr;
  std::string fileName;
};

using LoadedLibraryList = std::list<std::unique_ptr<LoadedLibrary>>;

LoadedLibraryList& LoadedLibraries();
void LoadCaptureLibrary(LoadedLibraryList& list);
// Exact, case-sensitive match; null when absent.
LoadedLibrary* FindLoadedLibrary(LoadedLibraryList& list, const std::string& fileName);
void FreeLoadedLibraries(LoadedLibraryList& list);
