#pragma once

// What a recording captures. The program passes and compares this type only;
// numbers appear at two edges, each with its own conversion: the settings
// file's /record/recordtype (in settings.cpp) and the items of the main
// window's mode box (in mainwindow.cpp).
enum class RecordMode {
  Monitor,  // one whole monitor
  Region,   // a rectangle of one monitor
  Window,   // one window
};

// For the log.
inline const char* RecordModeName(RecordMode mode) {
  switch (mode) {
    case RecordMode::Monitor: return "monitor";
    case RecordMode::Region: return "region";
    case RecordMode::Window: return "window";
  }
  return "?";
}
