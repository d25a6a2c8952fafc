#pragma once

// Shared by the source files of WASAPIAudioCapturer, and by them only: the
// gaps its device loop and its timeline both know, and the channel layouts.

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/common.h>
}

#include <cstdint>

namespace {

// A pass that starts this much after the timeline's end follows a hiccup
// (sound the device lost), filled with silence at once; less is drift or
// the jitter of the passes' times (a sound server's own times step by up to
// about 25 ms). No packet for kGapUs is a stall: silence holds the place,
// kGapUs behind the clock, so that the sound that comes next still follows
// a gap rather than overlapping the silence.
constexpr int64_t kHiccupUs = 40000;
constexpr int64_t kGapUs = 200000;

inline uint64_t DefaultLayout(int channels) {
  AVChannelLayout layout;
  av_channel_layout_default(&layout, channels);
  uint64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
  av_channel_layout_uninit(&layout);
  return mask;
}

// A layout mask that names exactly `channels` channels.
inline uint64_t UsableLayout(uint64_t layout, int channels) {
  if (layout != 0 && av_popcount64(layout) == channels) return layout;
  return DefaultLayout(channels);
}

}  // namespace
