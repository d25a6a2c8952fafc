#pragma once

#include <string>

namespace platform {

// The first link of linkDir (by name) that leads to the same file as node,
// else node itself.
std::string StableCameraId(const std::string& node, const std::string& linkDir);

}  // namespace platform
