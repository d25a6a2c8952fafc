#pragma once

#include <QMetaType>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/backend.h"
#include "platform/screen_copy.h"

namespace platform {
struct TopLevelWindow;
}

// One recordable window: its handle, title and class name (UTF-8).
struct WindowInfo {
  WindowInfo() = default;
  // Reads the title and class name of the window.
  explicit WindowInfo(platform::WindowId id);
  WindowInfo(platform::WindowId id, std::string title, std::string className);

  platform::WindowId window = 0;
  std::string title;
  std::string className;
};

Q_DECLARE_METATYPE(WindowInfo)

// The desktop's top-level windows that a user would call a window, topmost
// first; complete when constructed.
class CapturedWindowList {
 public:
  CapturedWindowList();

  const std::vector<WindowInfo>& Windows() const { return m_windows; }
  // Appends unless the window is listed already.
  void Add(const WindowInfo& window);

  // disabled: a modal window holds the window's input.
  static bool IsCapturable(const platform::TopLevelWindow& window, bool disabled = false);
  static bool IsExcludedWindow(const WindowInfo& window);

 private:
  std::vector<WindowInfo> m_windows;
  std::unordered_set<platform::WindowId> m_handles;
};

// Takes a picture of one window's own area for its thumbnail.
class PrintCaptureHelper {
 public:
  PrintCaptureHelper() = default;
  virtual ~PrintCaptureHelper();
  PrintCaptureHelper(const PrintCaptureHelper&) = delete;
  PrintCaptureHelper& operator=(const PrintCaptureHelper&) = delete;

  bool Init(platform::WindowId window);
  // The picture lands in Bits(): packed BGRA, top-down, Width() x Height().
  bool Capture();
  void Release();

  const uint8_t* Bits() const { return m_bits.data(); }
  int Width() const { return m_width; }
  int Height() const { return m_height; }
  size_t ImageSize() const { return m_imageSize; }
  // The last picture was read from the screen (the window keeps none of its
  // own): windows above it show in it.
  bool FromScreen() const { return m_fromScreen; }

 private:
  platform::WindowId m_window = 0;
  std::unique_ptr<platform::ScreenCopy> m_screen;
  std::vector<uint8_t> m_bits;
  int m_width = 0;
  int m_height = 0;
  size_t m_imageSize = 0;
  bool m_fromScreen = false;
};
