#pragma once

#include "recorder/videocapture/windowcapturerinterface.h"

// Draws the mouse highlight, a ring around the pointer, into captured frames.
class MousePreProcesser : public PreProcesser {
 public:
  ~MousePreProcesser() override = default;
  void Process(uint8_t* bgra, int width, int height, MouseContext* context) override;
};
