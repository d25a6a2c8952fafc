#include "platform/fake/fake_screen_copy.h"

#include <cstring>

namespace platform::fake {
namespace {

class FakeScreenCopy : public ScreenCopy {
 public:
  Result CopyRect(const Rect& rect, uint8_t* bgra) override {
    return FakeScreenCopyScript::Instance().Copy(rect, bgra);
  }
  Result GetCursor(CursorImage* cursor) override {
    return FakeScreenCopyScript::Instance().Cursor(cursor);
  }
  Result CopyWindow(WindowId window, std::vector<uint8_t>* bgra, int* width, int* height,
                    bool* fromScreen) override {
    *fromScreen = false;
    return FakeScreenCopyScript::Instance().Window(window, bgra, width, height);
  }
};

}  // namespace

FakeScreenCopyScript& FakeScreenCopyScript::Instance() {
  static FakeScreenCopyScript instance;
  return instance;
}

uint32_t FakeScreenCopyScript::PatternPixel(int x, int y) {
  return 0xFF000000u | (uint32_t((x * 3) & 0xFF) << 16) | (uint32_t(y & 0xFF) << 8) |
         uint32_t((x ^ y) & 0xFF);
}

void FakeScreenCopyScript::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_width = 1920;
  m_height = 1080;
  m_desktop.resize(size_t(m_width) * m_height);
  for (int y = 0; y < m_height; ++y)
    for (int x = 0; x < m_width; ++x) m_desktop[size_t(y) * m_width + x] = PatternPixel(x, y);
  m_cursor = CursorImage{};
  m_windows.clear();
  m_opens.clear();
  m_copies.clear();
  m_copyCount = 0;
  m_openCount = 0;
}

void FakeScreenCopyScript::SetDesktop(int width, int height, std::vector<uint32_t> pixels) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_width = width;
  m_height = height;
  m_desktop = std::move(pixels);
}

void FakeScreenCopyScript::SetCursor(const CursorImage& cursor) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_cursor = cursor;
}

void FakeScreenCopyScript::SetWindowImage(WindowId window, int width, int height,
                                          uint32_t colour) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_windows[window] = Picture{width, height, colour};
}

void FakeScreenCopyScript::QueueOpen(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_opens.push_back(result);
}

void FakeScreenCopyScript::QueueCopy(Result result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_copies.push_back(result);
}

int FakeScreenCopyScript::Copies() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_copyCount;
}

int FakeScreenCopyScript::Opens() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_openCount;
}

Result FakeScreenCopyScript::NextOpen() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_openCount;
  if (m_opens.empty()) return Result::Ok;
  const Result r = m_opens.front();
  m_opens.pop_front();
  return r;
}

Result FakeScreenCopyScript::Copy(const Rect& rect, uint8_t* bgra) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_copyCount;
  if (!m_copies.empty()) {
    const Result r = m_copies.front();
    m_copies.pop_front();
    if (r != Result::Ok) return r;
  }
  if (rect.IsEmpty()) return Result::Failed;
  auto* out = reinterpret_cast<uint32_t*>(bgra);
  for (int y = rect.top; y < rect.bottom; ++y)
    for (int x = rect.left; x < rect.right; ++x) {
      const bool inside = x >= 0 && y >= 0 && x < m_width && y < m_height;
      *out++ = inside ? m_desktop[size_t(y) * m_width + x] : 0u;
    }
  return Result::Ok;
}

Result FakeScreenCopyScript::Cursor(CursorImage* cursor) {
  std::lock_guard<std::mutex> lock(m_mutex);
  *cursor = m_cursor;
  return Result::Ok;
}

Result FakeScreenCopyScript::Window(WindowId window, std::vector<uint8_t>* bgra, int* width,
                                    int* height) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_windows.find(window);
  if (it == m_windows.end()) return Result::Failed;
  *width = it->second.width;
  *height = it->second.height;
  bgra->resize(size_t(*width) * *height * 4);
  auto* out = reinterpret_cast<uint32_t*>(bgra->data());
  for (size_t i = 0; i < size_t(*width) * *height; ++i) out[i] = it->second.colour;
  return Result::Ok;
}

Result FakeOpenScreenCopy(std::unique_ptr<ScreenCopy>* out) {
  const Result r = FakeScreenCopyScript::Instance().NextOpen();
  if (r != Result::Ok) return r;
  *out = std::make_unique<FakeScreenCopy>();
  return Result::Ok;
}

}  // namespace platform::fake
