#pragma once

#include <gtest/gtest.h>

#include "loadedlibraries.h"
#include "mainwindow/guitestenv.h"
#include "platform/backend.h"

// Tests of the capture library: the test display, the X11 backend and the
// library loaded from beside the tests.
class CaptureLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
    platform::Backend::Use(platform::BackendKind::X11);
    guitest::App();
    if (LoadedLibraries().empty()) LoadCaptureLibrary(LoadedLibraries());
    m_library = FindLoadedLibrary(LoadedLibraries(), kCaptureLibraryName);
    ASSERT_NE(m_library, nullptr) << "the capture library is built beside the tests";
  }

  LoadedLibrary* m_library = nullptr;
};
