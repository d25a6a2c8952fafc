#pragma once

#include "recorder/video/nvencavailability.h"
#include "recorder/video/videoencoderinterface.h"

// The encoder for this machine: NVENC, then Quick Sync, then the software
// encoder. The caller owns it.
VideoEncoderInterface* CreateVideoEncoder();

namespace videoencoderfactory {
// Process-wide probe results: -1 not probed, 0 unusable, 1 usable.
int& NvencState();
int& QsvState();
}  // namespace videoencoderfactory
