#include <gtest/gtest.h>

#include "platform/fake/fake_monitors.h"
#include "platform/monitors.h"
#include "support/testsupport.h"

TEST(Monitors, FakePrimaryAndFallbacks) {
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& fake = platform::fake::FakeMonitors::Instance();
  fake.Reset();
  EXPECT_EQ(platform::PrimaryMonitorRect(), (platform::Rect{0, 0, 1920, 1080}));
  fake.SetMonitors({{1, {0, 0, 800, 600}, "a", false}, {2, {800, 0, 1600, 600}, "b", true}});
  EXPECT_EQ(platform::PrimaryMonitorRect(), (platform::Rect{800, 0, 1600, 600}));
  fake.SetMonitors({{1, {0, 0, 800, 600}, "a", false}});
  EXPECT_EQ(platform::PrimaryMonitorRect(), (platform::Rect{0, 0, 800, 600}));
  fake.SetMonitors({});
  EXPECT_TRUE(platform::PrimaryMonitorRect().IsEmpty());
  fake.Reset();
}

TEST(Monitors, X11ReportsTheXvfbScreen) {
  if (!testsupport::HaveDisplay()) GTEST_SKIP() << "no display";
  platform::Backend::Use(platform::BackendKind::X11);
  const auto monitors = platform::GetMonitors().List();
  ASSERT_FALSE(monitors.empty());
  EXPECT_EQ(platform::PrimaryMonitorRect().Width(), 1920);
  EXPECT_EQ(platform::PrimaryMonitorRect().Height(), 1080);
}
