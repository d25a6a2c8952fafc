#pragma once

#include <functional>

#include "nvencavailability.h"
#include "recorder/video/videoencoderinterface.h"

// The encoder for this machine: NVENC, then Quick Sync, then the software
// encoder. The caller owns it.
VideoEncoderInterface* CreateVideoEncoder();

namespace videoencoderfactory {
// Process-wide probe results: -1 not probed, 0 unusable, 1 usable.
int& NvencState();
int& QsvState();
// When set, makes the encoder in place of the machine's choice (tests put
// encoders of their own in the program this way).
std::function<VideoEncoderInterface*()>& Substitute();
}  // namespace videoencoderfactory
