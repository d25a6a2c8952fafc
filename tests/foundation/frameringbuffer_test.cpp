#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "frameringbuffer.h"

namespace {

AVFrame Header(int64_t pts) {
  AVFrame frame;
  std::memset(&frame, 0, sizeof(frame));
  frame.pts = pts;
  return frame;
}

std::vector<uint8_t> Payload(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i);
  return v;
}

TEST(FrameRingBuffer, PayloadsWrapAroundTheEndInOrder) {
  FrameRingBuffer ring(16);
  uint8_t out[16];
  AVFrame header = Header(0);
  // 6 + 6 + 6 into 16 bytes, each read in turn: the third is split 4 + 2.
  for (int round = 0; round < 3; ++round) {
    const auto data = Payload(6, static_cast<uint8_t>(round * 10));
    AVFrame h = Header(round);
    ASSERT_TRUE(ring.Write(data.data(), data.size(), &h));
    ASSERT_EQ(ring.Read(out, sizeof(out), &header), 6u);
    EXPECT_EQ(header.pts, round);
    EXPECT_EQ(0, std::memcmp(out, data.data(), 6));
  }
  // A payload of exactly the remaining space, then one starting at 0.
  FrameRingBuffer exact(16);
  const auto a = Payload(10, 1), b = Payload(6, 50), c = Payload(8, 90);
  AVFrame h = Header(1);
  ASSERT_TRUE(exact.Write(a.data(), a.size(), &h));
  ASSERT_EQ(exact.Read(out, sizeof(out), &header), 10u);
  ASSERT_TRUE(exact.Write(b.data(), b.size(), &h));  // ends at the capacity
  ASSERT_TRUE(exact.Write(c.data(), c.size(), &h));  // starts at 0
  ASSERT_EQ(exact.Read(out, sizeof(out), &header), 6u);
  EXPECT_EQ(0, std::memcmp(out, b.data(), 6));
  ASSERT_EQ(exact.Read(out, sizeof(out), &header), 8u);
  EXPECT_EQ(0, std::memcmp(out, c.data(), 8));
}

TEST(FrameRingBuffer, RefusesWhatWouldOverwriteUnreadData) {
  FrameRingBuffer ring(16);
  uint8_t out[16];
  AVFrame header = Header(0);
  const auto a = Payload(10, 1), b = Payload(10, 100);
  AVFrame h = Header(7);
  ASSERT_TRUE(ring.Write(a.data(), a.size(), &h));
  EXPECT_FALSE(ring.Write(b.data(), b.size(), &h));  // 10 unread + 10 > 16
  const auto big = Payload(17, 0);
  EXPECT_FALSE(ring.Write(big.data(), big.size(), &h));
  EXPECT_EQ(ring.QueuedFrames(), 1u);
  ASSERT_EQ(ring.Read(out, sizeof(out), &header), 10u);
  EXPECT_EQ(0, std::memcmp(out, a.data(), 10));
  EXPECT_EQ(header.pts, 7);
  // Now there is room again.
  EXPECT_TRUE(ring.Write(b.data(), b.size(), &h));
  ASSERT_EQ(ring.Read(out, sizeof(out), &header), 10u);
  EXPECT_EQ(0, std::memcmp(out, b.data(), 10));
}

TEST(FrameRingBuffer, ReadWithTooLittleRoomDropsOnlyThatPayload) {
  FrameRingBuffer ring(64);
  uint8_t out[64];
  AVFrame header = Header(-1);
  EXPECT_EQ(ring.Read(out, sizeof(out), &header), 0u);  // empty: nothing touched
  EXPECT_EQ(header.pts, -1);
  const auto a = Payload(20, 3), b = Payload(5, 9);
  AVFrame ha = Header(1), hb = Header(2);
  ASSERT_TRUE(ring.Write(a.data(), a.size(), &ha));
  ASSERT_TRUE(ring.Write(b.data(), b.size(), &hb));
  EXPECT_EQ(ring.Read(out, 10, &header), 0u);
  EXPECT_EQ(header.pts, -1);
  ASSERT_EQ(ring.Read(out, sizeof(out), &header), 5u);
  EXPECT_EQ(header.pts, 2);
  EXPECT_EQ(0, std::memcmp(out, b.data(), 5));
  EXPECT_EQ(ring.UnreadBytes(), 0u);
}

// One producer and one consumer: every accepted payload arrives intact and in
// order; refused ones are the producer's to count.
TEST(FrameRingBuffer, ProducerAndConsumerThreads) {
  FrameRingBuffer ring(1000);
  constexpr int kFrames = 20000;
  std::vector<int64_t> accepted;
  std::thread producer([&] {
    for (int i = 0; i < kFrames; ++i) {
      const size_t n = 1 + (i * 37) % 200;
      const auto data = Payload(n, static_cast<uint8_t>(i));
      AVFrame h = Header(i);
      if (ring.Write(data.data(), n, &h)) accepted.push_back(i);
      if (i % 64 == 0) std::this_thread::yield();
    }
    // A one-byte payload stamped -1 ends the stream.
    AVFrame end = Header(-1);
    const uint8_t marker = 0;
    while (!ring.Write(&marker, 1, &end)) std::this_thread::yield();
  });
  std::vector<int64_t> received;
  bool corrupt = false;
  uint8_t out[256];
  for (;;) {
    AVFrame h;
    const size_t n = ring.Read(out, sizeof(out), &h);
    if (n == 0) {
      std::this_thread::yield();
      continue;
    }
    if (h.pts == -1) break;
    const auto expect = Payload(n, static_cast<uint8_t>(h.pts));
    if (n != 1 + (h.pts * 37) % 200 || std::memcmp(out, expect.data(), n) != 0) corrupt = true;
    received.push_back(h.pts);
  }
  producer.join();
  EXPECT_FALSE(corrupt);
  EXPECT_EQ(received, accepted);
  EXPECT_GT(accepted.size(), 0u);
}

}  // namespace
