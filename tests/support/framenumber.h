// A picture's own number drawn into it, so that a recording can be read back
// picture by picture: which of the pictures shown are missing, which are
// shown twice. Header only, for the tests and the benchmarks alike.
#pragma once

#include <cstdint>
#include <cstring>

namespace testsupport {

// One column of two square blocks per bit, most significant bit first: white
// over black is a 1, black over white a 0. The drawing is
// kFrameNumberBits * block pixels wide and 2 * block high.
constexpr int kFrameNumberBits = 16;

inline void DrawFrameNumber(uint32_t number, uint8_t* bgra, int stride, int block) {
  for (int bit = 0; bit < kFrameNumberBits; ++bit) {
    const bool one = (number >> (kFrameNumberBits - 1 - bit)) & 1;
    for (int y = 0; y < 2 * block; ++y) {
      const bool white = (y < block) == one;
      std::memset(bgra + size_t(y) * stride + size_t(bit) * block * 4, white ? 0xFF : 0x00,
                  size_t(block) * 4);
    }
  }
}

// The number drawn at bgra, or -1 when a block is neither clearly white nor
// clearly black (a picture caught half drawn or badly coded).
inline int ReadFrameNumber(const uint8_t* bgra, int stride, int block) {
  // The middle half of a block: coding blurs its edges.
  auto level = [&](int bit, int row) {
    int sum = 0, count = 0;
    for (int y = row * block + block / 4; y < row * block + block * 3 / 4; ++y)
      for (int x = bit * block + block / 4; x < bit * block + block * 3 / 4; ++x, ++count)
        sum += bgra[size_t(y) * stride + size_t(x) * 4 + 1];  // green
    return count ? sum / count : 0;
  };
  int number = 0;
  for (int bit = 0; bit < kFrameNumberBits; ++bit) {
    const int difference = level(bit, 0) - level(bit, 1);
    if (difference > 128)
      number = number * 2 + 1;
    else if (difference < -128)
      number = number * 2;
    else
      return -1;
  }
  return number;
}

}  // namespace testsupport
