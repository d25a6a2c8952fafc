#pragma once

#include "platform/backend.h"

namespace platform {

// What this session lets the program do. Everything holds in an X11
// session; a Wayland session serves the screen through the desktop's
// screen-cast portal, hot keys through its GlobalShortcuts portal where the
// desktop has one, and gives no program every key and click.
struct SessionCapabilities {
  bool wayland = false;
  bool screenCast = true;     // monitors and regions can be recorded
  bool windowCast = true;     // any program's window can be recorded (else X11 programs' only)
  // The desktop's own dialog picks the window to record when the recording
  // opens its capture (DuplicatePickedWindow), instead of the program's list.
  bool desktopPicksWindow = false;
  bool globalHotKeys = true;  // hot keys reach us whichever window has the keyboard
  bool globalInput = true;    // every key and click (keystroke overlay, click halo)
};

// Asked once per process.
const SessionCapabilities& GetSessionCapabilities();

}  // namespace platform
