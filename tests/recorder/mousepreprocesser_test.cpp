#include <gtest/gtest.h>

#include <vector>

#include "platform/fake/fake_input.h"
#include "recorder/mousepreprocesser.h"

namespace {

struct Image {
  Image(int w, int h) : width(w), height(h), pixels(size_t(w) * h * 4, 0x40) {}
  const uint8_t* At(int x, int y) const { return &pixels[(size_t(y) * width + x) * 4]; }
  bool Untouched(int x, int y) const {
    const uint8_t* p = At(x, y);
    return p[0] == 0x40 && p[1] == 0x40 && p[2] == 0x40 && p[3] == 0x40;
  }
  int width, height;
  std::vector<uint8_t> pixels;
};

MouseContext Yellow(int x, int y, int diameter) {
  MouseContext c;
  c.x = x;
  c.y = y;
  c.red = 255;
  c.green = 255;
  c.blue = 0;
  c.haloDiameter = diameter;
  return c;
}

class MousePreProcesserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Backend::Use(platform::BackendKind::Fake);
    platform::fake::FakeInput::Instance().Reset();
  }
  MousePreProcesser pre;
};

}  // namespace

TEST_F(MousePreProcesserTest, RingOfTheDiameterValueAroundThePointer) {
  Image image(200, 200);
  MouseContext context = Yellow(100, 100, 25);
  pre.Process(image.pixels.data(), image.width, image.height, &context);
  // Centred on the pointer's hot spot; diameter 25 (was drawn as the
  // radius), 4 pixels thick.
  for (auto [x, y] : {std::pair{112, 100}, std::pair{88, 100}, std::pair{100, 88},
                      std::pair{100, 112}}) {
    const uint8_t* p = image.At(x, y);
    EXPECT_EQ(p[0], 0) << x << "," << y;
    EXPECT_EQ(p[1], 255) << x << "," << y;
    EXPECT_EQ(p[2], 255) << x << "," << y;
    EXPECT_EQ(p[3], 0) << x << "," << y;
  }
  EXPECT_TRUE(image.Untouched(100, 100));
  EXPECT_TRUE(image.Untouched(105, 100));
  EXPECT_TRUE(image.Untouched(117, 100));
  EXPECT_TRUE(image.Untouched(83, 100));
  EXPECT_TRUE(image.Untouched(100, 125));
}

TEST_F(MousePreProcesserTest, RingNearTheEdgeIsClipped) {
  Image image(64, 48);
  MouseContext context = Yellow(62, 2, 25);
  pre.Process(image.pixels.data(), image.width, image.height, &context);
  EXPECT_EQ(image.pixels.size(), size_t(64) * 48 * 4);
  const uint8_t* p = image.At(50, 2);  // left part of the ring
  EXPECT_EQ(p[1], 255);
  EXPECT_EQ(p[2], 255);
}

TEST_F(MousePreProcesserTest, FailedPointerQueryLeavesTheFrame) {
  platform::fake::FakeInput::Instance().SetQueryResult(platform::Result::Failed);
  Image image(200, 200);
  const auto before = image.pixels;
  MouseContext context = Yellow(100, 100, 25);
  pre.Process(image.pixels.data(), image.width, image.height, &context);
  EXPECT_EQ(image.pixels, before);
}
