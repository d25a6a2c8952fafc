#include <gtest/gtest.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <cstring>
#include <vector>

#include "platform/linux/pipewire_stream.h"

// The pointer of a screen cast comes as PipeWire cursor metadata: a position,
// and now and then a new image (straight-alpha RGBA here), which the capture
// draws premultiplied.
namespace {

using platform::native::CastPointer;
using platform::native::ReadCursorMeta;

std::vector<uint8_t> CursorBlock(int x, int y, bool withImage) {
  std::vector<uint8_t> block(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + 2 * 4);
  auto* cursor = reinterpret_cast<spa_meta_cursor*>(block.data());
  cursor->id = 1;
  cursor->position = {x, y};
  cursor->hotspot = {1, 0};
  if (!withImage) return block;
  cursor->bitmap_offset = sizeof(spa_meta_cursor);
  auto* bitmap = reinterpret_cast<spa_meta_bitmap*>(block.data() + cursor->bitmap_offset);
  bitmap->format = SPA_VIDEO_FORMAT_RGBA;
  bitmap->size = {2, 1};
  bitmap->stride = 8;
  bitmap->offset = sizeof(spa_meta_bitmap);
  const uint8_t pixels[8] = {255, 0, 0, 255, 0, 0, 200, 128};  // opaque red, half blue
  std::memcpy(reinterpret_cast<uint8_t*>(bitmap) + bitmap->offset, pixels, 8);
  return block;
}

TEST(CastPointer, PositionAndImageComeFromTheMetadata) {
  CastPointer pointer;
  bool shape = false;
  std::vector<uint8_t> block = CursorBlock(40, 30, true);
  ASSERT_TRUE(ReadCursorMeta(block.data(), block.size(), &pointer, &shape));
  EXPECT_TRUE(shape);
  EXPECT_TRUE(pointer.visible);
  EXPECT_EQ(pointer.x, 40);
  EXPECT_EQ(pointer.y, 30);
  EXPECT_EQ(pointer.hotX, 1);
  ASSERT_EQ(pointer.width, 2);
  ASSERT_EQ(pointer.height, 1);
  EXPECT_EQ(pointer.pixels[0], 0xFFFF0000u);
  EXPECT_EQ(pointer.pixels[1], 0x80000064u);  // premultiplied: 200 * 128 / 255

  // A move without an image keeps the image.
  block = CursorBlock(41, 30, false);
  EXPECT_TRUE(ReadCursorMeta(block.data(), block.size(), &pointer, &shape));
  EXPECT_FALSE(shape);
  EXPECT_EQ(pointer.x, 41);
  EXPECT_EQ(pointer.width, 2);
  // Nothing new: no change.
  EXPECT_FALSE(ReadCursorMeta(block.data(), block.size(), &pointer, &shape));
  // An image that does not fit its block is not read past the block.
  block = CursorBlock(41, 30, true);
  EXPECT_TRUE(ReadCursorMeta(block.data(), block.size() - 1, &pointer, &shape));
  EXPECT_EQ(pointer.width, 0);
  // Id 0: no cursor data at all.
  reinterpret_cast<spa_meta_cursor*>(block.data())->id = 0;
  EXPECT_FALSE(ReadCursorMeta(block.data(), block.size(), &pointer, &shape));
}

}  // namespace
