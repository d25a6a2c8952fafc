// The loaded-library list on its own: built from its source and the platform
// layer alone, so that the engine parts that use it never drag in the user
// interface.
#include <gtest/gtest.h>

#include "loadedlibraries.h"
#include "platform/modules.h"

TEST(LoadedLibraries, LookupIsExact) {
  LoadedLibraryList list;
  LoadCaptureLibrary(list);
  ASSERT_EQ(list.size(), 1u) << "libglance.so beside the test program";
  EXPECT_NE(FindLoadedLibrary(list, "libglance.so"), nullptr);
  EXPECT_EQ(FindLoadedLibrary(list, "LIBGLANCE.SO"), nullptr);
  EXPECT_NE(platform::ResolveSymbol(list.front()->handle, "CreateGlancer"), nullptr);
  FreeLoadedLibraries(list);
  EXPECT_TRUE(list.empty());
  LoadedLibrary missing("libnot-there.so");
  EXPECT_EQ(missing.handle, nullptr);
}
