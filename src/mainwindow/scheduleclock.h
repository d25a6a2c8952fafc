#pragma once

#include <cstdint>
#include <functional>

namespace scheduleclock {

// The current time in whole seconds since the epoch.
int64_t NowSeconds();

// Replaces the clock; an empty function restores the system clock. For tests.
void SetSource(std::function<int64_t()> source);

}  // namespace scheduleclock
