#pragma once

#include <functional>

#include "platform/backend.h"

namespace platform {

enum class SessionEvent { Locked, Unlocked, Ending };

class SessionFacility {
 public:
  virtual ~SessionFacility() = default;
  // Reports lock, unlock and the end of the user's session on the GUI
  // thread, to the one handler last given; an empty one stops the reports.
  // Call once the application object exists.
  virtual void Watch(std::function<void(SessionEvent)> handler) = 0;
  // Keeps the machine and the display awake (no screen saver, no idle sleep)
  // while awake is true.
  virtual Result KeepAwake(bool awake) = 0;
};

SessionFacility& Session();

}  // namespace platform
