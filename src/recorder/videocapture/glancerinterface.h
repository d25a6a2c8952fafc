#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Shared between korvorec and the capture library glance. Both are built with
// the same compiler and standard library: the configuration carries
// standard-library objects across the boundary.

struct GlancerRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

struct GlancerConfig {
  uint64_t window = 0;   // window to capture; wins over monitor when not 0
  uint64_t monitor = 0;  // monitor to capture when window is 0: the n-th (from 1) of the
                         // display server's active monitors; 0 the whole screen
  GlancerRect region;    // crop in frame pixels; zero width or height: whole frame
  bool captureCursor = false;
  std::function<void(unsigned char* data, int size, int width, int height)> onFrame;
  std::function<void()> onClosed;
  std::string interfaceKey;
};

class GlancerInterface {
 public:
  virtual ~GlancerInterface() = default;
  virtual bool Init(const GlancerConfig& config) = 0;
  virtual bool Start() = 0;
  virtual bool Stop() = 0;
};

#define GLANCE_INTERFACE_KEY "{7A21C9E4-0B3D-4E58-9F16-2D4C8B7E5A03}"

using CreateGlancerFunc = GlancerInterface* (*)();
using DoesGlanceSupportedFunc = bool (*)();
