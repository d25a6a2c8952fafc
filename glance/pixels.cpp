// True-colour pixels of any layout into BGRA, and the pointer over them.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdint>

#include "capture.h"

namespace glance {

bool LayoutOf(const Visual* visual, PixelLayout* layout) {
  if (!visual || (visual->c_class != TrueColor && visual->c_class != DirectColor)) return false;
  const unsigned long masks[3] = {visual->red_mask, visual->green_mask, visual->blue_mask};
  for (int i = 0; i < 3; ++i) {
    if (masks[i] == 0 || masks[i] > 0xFFFFFFFFul) return false;
    const uint32_t mask = uint32_t(masks[i]);
    const int shift = __builtin_ctz(mask);
    const uint32_t max = mask >> shift;
    if ((max & (max + 1)) != 0 || max > 0xFFFF) return false;  // not one run of bits
    PixelLayout::Channel& channel = layout->channels[i];
    channel.mask = mask;
    channel.shift = shift;
    channel.to8.resize(max + 1);
    for (uint32_t v = 0; v <= max; ++v) channel.to8[v] = uint8_t((v * 255 + max / 2) / max);
  }
  layout->bgra = masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF;
  return true;
}

int BitsPerPixel(Display* d, int depth) {
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(d, &count);
  int bits = 0;
  for (int i = 0; formats && i < count; ++i)
    if (formats[i].depth == depth) bits = formats[i].bits_per_pixel;
  if (formats) XFree(formats);
  return bits;
}

void ConvertRow(const uint8_t* src, int width, int bytes, bool msbFirst,
                const PixelLayout& layout, uint32_t* dst) {
  for (int x = 0; x < width; ++x, src += bytes) {
    uint32_t value = 0;
    for (int b = 0; b < bytes; ++b)
      value |= uint32_t(src[b]) << (8 * (msbFirst ? bytes - 1 - b : b));
    uint32_t out = 0xFF000000u;
    for (int i = 0; i < 3; ++i) {
      const PixelLayout::Channel& channel = layout.channels[i];
      out |= uint32_t(channel.to8[(value & channel.mask) >> channel.shift]) << (16 - 8 * i);
    }
    dst[x] = out;
  }
}

uint32_t Blend(uint32_t src, uint32_t dst) {
  const uint32_t a = src >> 24;
  if (a == 0xFF) return src;
  if (src == 0) return dst;
  uint32_t out = 0xFF000000u;
  for (int shift = 0; shift < 24; shift += 8) {
    const uint32_t s = (src >> shift) & 0xFF;
    const uint32_t d = (dst >> shift) & 0xFF;
    out |= std::min<uint32_t>(255, s + (d * (255 - a) + 127) / 255) << shift;
  }
  return out;
}

}  // namespace glance
