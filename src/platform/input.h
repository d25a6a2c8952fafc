#pragma once

#include "platform/backend.h"

namespace platform {

// Where the pointer is and which buttons are down.
struct PointerState {
  int x = 0;  // desktop coordinates of the hot spot
  int y = 0;
  bool visible = true;
  unsigned buttons = 0;  // bit 0 left, bit 1 middle, bit 2 right
};

class Input {
 public:
  virtual ~Input() = default;
  virtual Result QueryPointer(PointerState* state) = 0;
};

Input& GetInput();

}  // namespace platform
