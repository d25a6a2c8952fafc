#include "recorder/videocapture/dxgicapturer.h"

extern "C" {
#include <libavutil/time.h>
}

#include <glog/logging.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "platform/thread_name.h"

using platform::Result;

namespace {
constexpr int kAcquireTimeoutMs = 10;
constexpr int kSnapshotTimeoutMs = 50;

// Pixels of r (output coordinates) that lie on an output of this size.
int64_t ShownArea(const platform::Rect& r, int width, int height) {
  const platform::Rect shown = r.Intersected(platform::Rect{0, 0, width, height});
  return shown.IsEmpty() ? 0 : int64_t(shown.Width()) * shown.Height();
}
}  // namespace

DXGICapturer::~DXGICapturer() {
  Stop();
  Release();
}

bool DXGICapturer::IsSupported(platform::MonitorId target) {
  const bool ok = InitDuplication(target);
  Release();
  return ok;
}

bool DXGICapturer::Init(const CaptureParams& params) {
  m_params = params;
  m_captureRect = params.region;
  m_mouseContext.red = params.red;
  m_mouseContext.green = params.green;
  m_mouseContext.blue = params.blue;
  if (!InitDuplication(params.monitor)) return false;
  m_outputName = m_outputDesc.deviceName;
  if (params.mode == RecordMode::Region) {
    const platform::Rect& out = m_outputDesc.rect;
    m_regionOnOutput = platform::Rect{params.region.left - out.left, params.region.top - out.top,
                                      params.region.right - out.left,
                                      params.region.bottom - out.top};
    m_regionShown = ShownArea(m_regionOnOutput, out.Width(), out.Height());
    m_regionLost = false;
  }
  return true;
}

int DXGICapturer::Start() {
  if (m_running) {
    LOG(ERROR) << "record desktop duplication is already running";
    return 0;
  }
  if (!m_initialised) {
    LOG(ERROR) << "desktop duplication is not initialised";
    return -1;
  }
  m_running = true;
  m_captureThread = std::thread([this] { CaptureLoop(); });
  return 0;
}

bool DXGICapturer::Stop() {
  m_running = false;
  if (m_captureThread.joinable()) m_captureThread.join();
  return true;
}

bool DXGICapturer::Snapshot(platform::MonitorId target, uint8_t** data, int* width,
                            int* height) {
  Release();
  if (!InitDuplication(target)) {
    LOG(ERROR) << "Init failed";
    return false;
  }
  *width = m_outputDesc.rect.Width();
  *height = m_outputDesc.rect.Height();
  // Zeroed: a screen that shows nothing new within the wait stays black.
  uint8_t* image = new uint8_t[size_t(*width) * *height * 4]();
  if (!CopyFrame(image)) {
    delete[] image;
    return false;
  }
  *data = image;
  return true;
}

bool DXGICapturer::InitDuplication(platform::MonitorId target, const std::string& name) {
  if (m_initialised) {
    LOG(ERROR) << "dxgi has inited";
    return false;
  }
  Result r = Result::Failed;
  if (m_params.mode == RecordMode::Window) {
    // A window that the desktop's own dialog picks; its pictures and the
    // pointer are the window's own, at the window's origin.
    r = platform::DuplicatePickedWindow(&m_duplication);
  } else {
    bool found = false;
    for (const auto& output : platform::GetMonitors().List()) {
      const bool match = name.empty() ? (target == 0 || output.id == target)
                                      : output.deviceName == name;
      if (match) {
        m_outputDesc = output;
        found = true;
        break;
      }
    }
    if (!found) {
      LOG(ERROR) << "Get dxgioutput failed";
      Release();
      return false;
    }
    r = platform::DuplicateOutput(m_outputDesc, &m_duplication);
  }
  if (r == Result::AccessLost) {
    // Another desktop owns the screen for now.
    std::this_thread::sleep_for(std::chrono::seconds(3));
  }
  if (r != Result::Ok) {
    LOG(ERROR) << "DuplicateOutput failed,hr " << platform::ResultName(r);
    Release();
    return false;
  }
  if (m_params.mode == RecordMode::Region) {
    m_frameWidth = m_params.region.Width();
    m_frameHeight = m_params.region.Height();
    if (m_frameWidth <= 0 || m_frameHeight <= 0) {
      LOG(ERROR) << "empty capture region";
      Release();
      return false;
    }
  } else {
    m_frameWidth = m_duplication->Width();
    m_frameHeight = m_duplication->Height();
    m_captureRect = platform::Rect{0, 0, m_frameWidth, m_frameHeight};
  }
  m_frameBuffer.reset();
  m_frameData = nullptr;
  m_wholeNext = true;
  m_pixelFormat = AV_PIX_FMT_BGRA;
  m_initialised = true;
  LOG(INFO) << "init dxgi successfully";
  return true;
}

void DXGICapturer::Release() {
  LOG(INFO) << "dxgicapturer deinits";
  m_frameHeld = false;
  m_underPointer = platform::Rect{};  // its image goes with the duplication
  m_duplication.reset();
  m_frameBuffer.reset();
  m_frameData = nullptr;
  m_pointerShapeBuffer.reset();
  m_pointerShapeCapacity = 0;
  m_outputDesc = platform::MonitorInfo{};
  m_initialised = false;
}

bool DXGICapturer::Reinit() {
  Release();
  // The desktop's dialog is not put to the user again in the middle of a
  // recording: a window's cast that ended is lost.
  if (m_params.mode == RecordMode::Window) return false;
  // Monitor ids follow the layout's order; the output is looked up by name,
  // at whatever size it has now.
  if (!InitDuplication(m_params.monitor, m_outputName)) return false;
  if (m_params.mode == RecordMode::Region) FollowOutput();
  return true;
}

void DXGICapturer::FollowOutput() {
  const platform::Rect& out = m_outputDesc.rect;
  const platform::Rect& r = m_regionOnOutput;
  m_params.region =
      platform::Rect{out.left + r.left, out.top + r.top, out.left + r.right, out.top + r.bottom};
  m_captureRect = m_params.region;
  if (ShownArea(r, out.Width(), out.Height()) < m_regionShown) m_regionLost = true;
}

void DXGICapturer::CaptureLoop() {
  platform::SetCurrentThreadName("capture");
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                     [](AVFrame* f) { av_frame_free(&f); });
  while (m_running && frame) {
    if (m_regionLost) {
      // The region went partly or wholly off its shrunk output: rather than
      // recording black, the recording ends.
      LOG(ERROR) << "the region no longer lies on " << m_outputName;
      if (m_errorCallback) m_errorCallback(kRecordCaptureLost);
      break;
    }
    const int acquired = AcquireFrame();
    if (acquired == 1) continue;
    if (acquired < 0) {
      int attempt = 1;
      while (m_running) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (Reinit()) break;
        if (attempt == 3 && m_errorCallback) m_errorCallback(kRecordFailed);
        ++attempt;
      }
      continue;
    }
    NoteChanges(m_params.drawCursor && m_pointerReady ? DrawPointer() : platform::Rect{});
    // A lost duplication re-opens here; its image is gone with it.
    if (!ReturnFrame()) continue;
    AVFrame* f = frame.get();
    // Dated by when the screen showed the image, not by when its copy ended.
    f->pts = f->pkt_dts =
        m_frameInfo.presentTime > 0 ? m_frameInfo.presentTime : av_gettime_relative();
    f->pict_type = AV_PICTURE_TYPE_NONE;
    SetBgraPicture(f, m_frameData, m_frameWidth, m_frameHeight);
    f->linesize[0] = m_framePitch;  // the image's own row length
    if (m_frameCallback) m_frameCallback(f);
  }
  LOG(INFO) << "EXITS RECORDING";
}

int DXGICapturer::AcquireFrame() {
  if (!m_initialised || !m_duplication) {
    LOG(ERROR) << "dxgi doesn't init or context is null,need init again";
    return -1;
  }
  RestoreUnderPointer();
  const Result r = m_duplication->AcquireNextFrame(kAcquireTimeoutMs, &m_frameInfo);
  if (r == Result::Timeout) return 1;
  if (r != Result::Ok) {
    LOG(ERROR) << "acquire next frame failed,reason: " << platform::ResultName(r);
    return -1;
  }
  m_frameHeld = true;
  if (m_params.mode == RecordMode::Window &&
      (m_duplication->Width() != m_frameWidth || m_duplication->Height() != m_frameHeight)) {
    // A window's picture follows the window's size; the writer scales it.
    m_frameWidth = m_duplication->Width();
    m_frameHeight = m_duplication->Height();
    m_frameBuffer.reset();
    m_wholeNext = true;
  }
  m_pointerReady = UpdatePointer(m_frameInfo) == 0;
  const bool whole = m_params.mode != RecordMode::Region &&
                     m_duplication->Width() == m_frameWidth &&
                     m_duplication->Height() == m_frameHeight;
  int pitch = 0;
  // A whole output with no pointer to draw is delivered as the duplication
  // shows it, read in place.
  if (whole && !(m_params.drawCursor && m_pointerReady && m_pointerVisible)) {
    const uint8_t* image = m_duplication->FrameImage(&pitch);
    if (image && pitch >= m_frameWidth * 4) {
      m_frameData = const_cast<uint8_t*>(image);
      m_framePitch = pitch;
      return 0;
    }
  }
  uint8_t* image = m_duplication->FrameData(&pitch);
  m_framePitch = m_frameWidth * 4;
  // A whole output whose rows lie back to back is the frame itself: the
  // pointer is drawn into it and it is delivered without a copy.
  if (image && whole && pitch == m_frameWidth * 4) {
    m_frameData = image;
    return 0;
  }
  if (!CopyToBuffer(nullptr)) {
    // Skipped rather than the picture before delivered in its place.
    ReturnFrame();
    return 1;
  }
  m_frameData = m_frameBuffer.get();
  return 0;
}

bool DXGICapturer::CopyToBuffer(uint8_t* snapshot) {
  int pitch = 0;
  const uint8_t* image = m_duplication->FrameData(&pitch);
  if (!image) return false;
  const int texWidth = m_duplication->Width();
  const int texHeight = m_duplication->Height();
  const size_t frameStride = size_t(m_frameWidth) * 4;
  if (!m_frameBuffer)
    m_frameBuffer.reset(new (std::nothrow) uint8_t[frameStride * m_frameHeight]());
  if (!m_frameBuffer) {
    LOG(ERROR) << "frame buffer alloc failed";
    return false;
  }
  if (m_params.mode == RecordMode::Region) {
    // Offsets against the output; what lies outside it stays black.
    const int xOffset = m_params.region.left - m_outputDesc.rect.left;
    const int yOffset = m_params.region.top - m_outputDesc.rect.top;
    const int firstColumn = std::max(0, -xOffset);
    const int endColumn = std::min(m_frameWidth, texWidth - xOffset);
    for (int i = 0; i < m_frameHeight; ++i) {
      uint8_t* row = m_frameBuffer.get() + frameStride * i;
      const int sy = yOffset + i;
      if (sy < 0 || sy >= texHeight || endColumn <= firstColumn) {
        std::memset(row, 0, frameStride);
        continue;
      }
      std::memset(row, 0, size_t(firstColumn) * 4);
      std::memcpy(row + size_t(firstColumn) * 4,
                  image + size_t(sy) * pitch + size_t(xOffset + firstColumn) * 4,
                  size_t(endColumn - firstColumn) * 4);
      std::memset(row + size_t(endColumn) * 4, 0, size_t(m_frameWidth - endColumn) * 4);
    }
    return true;
  }
  const size_t rowBytes = std::min<size_t>(pitch, size_t(texWidth) * 4);
  const int rows = std::min(texHeight, m_frameHeight);
  for (int j = 0; j < rows; ++j) {
    const uint8_t* src = image + size_t(j) * pitch;
    if (snapshot) std::memcpy(snapshot + size_t(j) * texWidth * 4, src, rowBytes);
    std::memcpy(m_frameBuffer.get() + frameStride * j, src, std::min(rowBytes, frameStride));
  }
  return true;
}

bool DXGICapturer::ReturnFrame() {
  if (!m_duplication) return false;
  const Result r = m_duplication->ReleaseFrame();
  m_frameHeld = false;
  if (r == Result::AccessLost) {
    LOG(ERROR) << "2dxgi device lost,need to reset";
    Reinit();
    return false;
  }
  if (r != Result::Ok) {
    LOG(ERROR) << "release frame failed: " << platform::ResultName(r);
    return false;
  }
  return true;
}

int DXGICapturer::UpdatePointer(const platform::DuplicationFrameInfo& info) {
  if (info.lastPointerUpdate == 0) return m_pointerShapeCapacity != 0 ? 0 : -1;
  m_pointerX = info.pointerX + m_outputDesc.rect.left;
  m_pointerY = info.pointerY + m_outputDesc.rect.top;
  m_pointerVisible = info.pointerVisible;
  m_lastPointerUpdate = info.lastPointerUpdate;
  if (info.pointerShapeBufferSize == 0) return m_pointerShapeCapacity != 0 ? 0 : -1;
  if (m_pointerShapeCapacity < info.pointerShapeBufferSize) {
    m_pointerShapeBuffer.reset(new (std::nothrow) uint8_t[info.pointerShapeBufferSize]);
    if (!m_pointerShapeBuffer) {
      m_pointerShapeCapacity = 0;
      LOG(ERROR) << "cursor's buffer alloc failed";
      return -1;
    }
    m_pointerShapeCapacity = info.pointerShapeBufferSize;
  }
  uint32_t required = 0;
  const Result r = m_duplication->GetFramePointerShape(
      m_pointerShapeBuffer.get(), m_pointerShapeCapacity, &required, &m_pointerShapeInfo);
  if (r != Result::Ok) {
    m_pointerShapeBuffer.reset();
    m_pointerShapeCapacity = 0;
    LOG(ERROR) << "get pointer shape failed: " << platform::ResultName(r);
    return -1;
  }
  return 0;
}

void DXGICapturer::NoteChanges(const platform::Rect& pointer) {
  m_changes.clear();
  m_changesKnown = !m_wholeNext && m_duplication->FrameChanges(&m_outputChanges);
  m_wholeNext = false;
  if (m_changesKnown) {
    // A region's frame starts at the region's corner on the output.
    const bool region = m_params.mode == RecordMode::Region;
    const int x = region ? m_params.region.left - m_outputDesc.rect.left : 0;
    const int y = region ? m_params.region.top - m_outputDesc.rect.top : 0;
    const platform::Rect frame{0, 0, m_frameWidth, m_frameHeight};
    for (const platform::Rect& r : m_outputChanges) {
      const platform::Rect onFrame = r.Translated(-x, -y).Intersected(frame);
      if (!onFrame.IsEmpty()) m_changes.push_back(onFrame);
    }
    if (!m_lastPointer.IsEmpty()) m_changes.push_back(m_lastPointer);
    if (!pointer.IsEmpty()) m_changes.push_back(pointer);
  }
  m_lastPointer = pointer;
}

platform::Rect DXGICapturer::DrawPointer() {
  if (!m_pointerVisible || !m_pointerShapeBuffer || !m_frameData) return {};
  // Frame coordinates of the shape's top-left corner: the frame starts at the
  // region's corner, or at the output's for a whole monitor.
  const bool region = m_params.mode == RecordMode::Region;
  const int originX = region ? m_params.region.left : m_outputDesc.rect.left;
  const int originY = region ? m_params.region.top : m_outputDesc.rect.top;
  const int b = m_pointerX - originX;
  const int c = m_pointerY - originY;
  // The hot spot decides whether the pointer is inside (edges included); the
  // shape is clipped to the frame on every side.
  const int hotX = b + m_pointerShapeInfo.hotX;
  const int hotY = c + m_pointerShapeInfo.hotY;
  if (hotX < 0 || hotX > m_frameWidth || hotY < 0 || hotY > m_frameHeight) return {};

  const auto& shape = m_pointerShapeInfo;
  const bool mono = shape.type == platform::PointerShapeType::Monochrome;
  const int shapeHeight = mono ? shape.height / 2 : shape.height;
  const int w = std::min(shape.width, m_frameWidth - b);
  const int h = std::min(shapeHeight, m_frameHeight - c);
  platform::Rect drawn{b, c, b + w, c + h};
  if (m_params.preProcess) {
    // The ring around the hot spot, its line and smoothing included.
    const int reach = m_params.haloDiameter / 2 + 8;
    drawn = platform::Rect{std::min(drawn.left, hotX - reach), std::min(drawn.top, hotY - reach),
                           std::max(drawn.right, hotX + reach + 1),
                           std::max(drawn.bottom, hotY + reach + 1)};
  }
  drawn = drawn.Intersected(platform::Rect{0, 0, m_frameWidth, m_frameHeight});
  // The duplication's own image gets back what the pointer covers before
  // the next frame: only what changed on the screen is fetched into it.
  if (m_frameData != m_frameBuffer.get()) SaveUnderPointer(drawn);

  if (m_params.preProcess) {
    m_mouseContext.x = hotX;
    m_mouseContext.y = hotY;
    m_mouseContext.haloDiameter = m_params.haloDiameter;
    PreProcess(m_frameData, m_frameWidth, m_frameHeight, &m_mouseContext);
  }

  const uint8_t* shapeData = m_pointerShapeBuffer.get();
  auto* frame = reinterpret_cast<uint32_t*>(m_frameData);
  const int firstRow = std::max(0, -c);
  const int firstColumn = std::max(0, -b);
  for (int i = firstRow; i < h; ++i) {
    uint32_t* row = frame + size_t(c + i) * m_frameWidth + b;
    for (int j = firstColumn; j < w; ++j) {
      uint32_t& pixel = row[j];
      switch (shape.type) {
        case platform::PointerShapeType::Monochrome: {
          const uint8_t bit = uint8_t(0x80 >> (j % 8));
          const bool andBit = shapeData[size_t(i) * shape.pitch + j / 8] & bit;
          const bool xorBit = shapeData[size_t(shapeHeight + i) * shape.pitch + j / 8] & bit;
          pixel = (pixel & (andBit ? 0xFFFFFFFFu : 0xFF000000u)) ^ (xorBit ? 0x00FFFFFFu : 0u);
          break;
        }
        case platform::PointerShapeType::Color: {
          uint32_t s;
          std::memcpy(&s, shapeData + size_t(i) * shape.pitch + size_t(j) * 4, 4);
          pixel = BlendPremultiplied(s, pixel);
          break;
        }
        case platform::PointerShapeType::MaskedColor: {
          uint32_t s;
          std::memcpy(&s, shapeData + size_t(i) * shape.pitch + size_t(j) * 4, 4);
          pixel = (s & 0xFF000000u) ? ((pixel ^ s) | 0xFF000000u) : (s | 0xFF000000u);
          break;
        }
      }
    }
  }
  return drawn;
}

void DXGICapturer::SaveUnderPointer(const platform::Rect& r) {
  m_underPointer = r;
  if (r.IsEmpty()) return;
  const size_t row = size_t(r.Width()) * 4;
  m_underPixels.resize(row * r.Height());
  for (int y = r.top; y < r.bottom; ++y)
    std::memcpy(m_underPixels.data() + row * (y - r.top),
                m_frameData + size_t(y) * m_frameWidth * 4 + size_t(r.left) * 4, row);
}

void DXGICapturer::RestoreUnderPointer() {
  const platform::Rect r = m_underPointer;
  m_underPointer = platform::Rect{};
  if (r.IsEmpty() || !m_frameData) return;
  const size_t row = size_t(r.Width()) * 4;
  for (int y = r.top; y < r.bottom; ++y)
    std::memcpy(m_frameData + size_t(y) * m_frameWidth * 4 + size_t(r.left) * 4,
                m_underPixels.data() + row * (y - r.top), row);
}

bool DXGICapturer::CopyFrame(uint8_t* data) {
  if (!m_initialised || !m_duplication) {
    LOG(ERROR) << "dxgi doesn't init or context is null,need init again";
    InitDuplication(0);
    return false;
  }
  const Result r = m_duplication->AcquireNextFrame(kSnapshotTimeoutMs, &m_frameInfo);
  if (r == Result::Timeout) return true;
  if (r == Result::AccessLost) {
    LOG(ERROR) << "dxgi device lost,need to reset";
    Reinit();
    return false;
  }
  if (r != Result::Ok) {
    LOG(ERROR) << "acquire next frame failed,reason: " << platform::ResultName(r);
    return false;
  }
  m_frameHeld = true;
  CopyToBuffer(data);
  ReturnFrame();
  if (m_firstSnapshot) {
    m_firstSnapshot = false;
    return CopyFrame(data);
  }
  return true;
}
