#pragma once

namespace platform {

long CurrentProcessId();
// 0 when it cannot be found.
long ParentProcessId();

}  // namespace platform
