#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <functional>

#include "../mainwindow/guitestenv.h"
#include "platform/backend.h"
#include "settings.h"

namespace dialogtest {

// A display, the application object and an empty settings store of its own
// for every test.
class DialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new testsupport::TempDir;
    setenv("XDG_CONFIG_HOME", (s_dir->path() + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (s_dir->path() + "/data").c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }

  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    platform::Backend::Use(platform::BackendKind::X11);
    guitest::App();
    ASSERT_TRUE(settings()->Init());
    QFile::remove(settings()->FileName());
    ASSERT_TRUE(settings()->Init());
  }

  static Settings* settings() { return Settings::Instance(); }

  template <typename T>
  static T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }

  // Runs action on the next modal window that opens (within the next call
  // that runs an event loop).
  static void OnModal(std::function<void(QWidget*)> action) {
    QTimer::singleShot(0, [action] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) {
        ADD_FAILURE() << "no modal window";
        return;
      }
      action(modal);
    });
  }

  static testsupport::TempDir* s_dir;
};

inline testsupport::TempDir* DialogTest::s_dir = nullptr;

}  // namespace dialogtest
