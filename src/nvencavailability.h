#pragma once

// Whether NVENC can be used on this machine: the FFmpeg encoder exists, an
// NVIDIA adapter with an encoder is present and its runtime loads.
bool IsNvencAvailable();
bool HasNvidiaAdapter();
bool LoadNvencLibrary();
