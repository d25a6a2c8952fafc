#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/monitors.h"
#include "platform/screen_duplication.h"
#include "recorder/videocapture/windowcapturerinterface.h"

// Whole-monitor, region and desktop-picked window source over the
// platform's screen duplication: delivers a frame whenever the duplicated
// output or window changed, with the pointer drawn from the shape the
// duplication reports.
class DXGICapturer : public WindowCapturerInterface {
 public:
  DXGICapturer() = default;
  ~DXGICapturer() override;

  bool IsSupported(platform::MonitorId target) override;
  bool Init(const CaptureParams& params) override;
  int Start() override;
  bool Stop() override;
  bool Snapshot(platform::MonitorId target, uint8_t** data, int* width, int* height) override;

 private:
  // The output named name, or with no name the monitor target (0: the first).
  bool InitDuplication(platform::MonitorId target, const std::string& name = std::string());
  void Release();
  bool Reinit();
  // Region mode: puts the region back at its place on the re-opened output;
  // marks it lost when the output shows less of it than at Init.
  void FollowOutput();
  void CaptureLoop();
  // 0 frame, 1 timeout, -1 error.
  int AcquireFrame();
  // False when the held picture cannot be read.
  bool CopyToBuffer(uint8_t* snapshot);
  bool ReturnFrame();
  int UpdatePointer(const platform::DuplicationFrameInfo& info);
  // The part of the frame it drew into; empty when none.
  platform::Rect DrawPointer();
  // Keeps the duplication image's pixels under r / puts them back.
  void SaveUnderPointer(const platform::Rect& r);
  void RestoreUnderPointer();
  // Sets the frame's changes: the duplication's, and where the pointer was
  // drawn into this frame and the one before.
  void NoteChanges(const platform::Rect& pointer);
  bool CopyFrame(uint8_t* data);

  std::unique_ptr<platform::ScreenDuplication> m_duplication;
  platform::MonitorInfo m_outputDesc;
  std::string m_outputName;  // the output being recorded
  bool m_frameHeld = false;
  bool m_firstSnapshot = true;
  std::unique_ptr<uint8_t[]> m_frameBuffer;  // region frames and snapshots
  // The frame being delivered: the duplication's own image when it is the
  // frame as it stands (only read when no pointer is drawn), else
  // m_frameBuffer; and its bytes a row.
  uint8_t* m_frameData = nullptr;
  int m_framePitch = 0;
  bool m_pointerReady = false;  // the pointer's shape is known
  std::unique_ptr<uint8_t[]> m_pointerShapeBuffer;
  uint32_t m_pointerShapeCapacity = 0;
  platform::PointerShapeInfo m_pointerShapeInfo;
  int m_pointerX = 0;  // desktop coordinates of the shape's top-left corner
  int m_pointerY = 0;
  bool m_pointerVisible = false;
  int64_t m_lastPointerUpdate = 0;
  int m_frameWidth = 0;
  int m_frameHeight = 0;
  // Region mode: the region on its output, where it stays when the output
  // moves, and how many of its pixels the output showed at Init.
  platform::Rect m_regionOnOutput;
  int64_t m_regionShown = 0;
  bool m_regionLost = false;
  MouseContext m_mouseContext;
  platform::DuplicationFrameInfo m_frameInfo;
  bool m_wholeNext = true;      // the next frame counts as changed all over
  platform::Rect m_lastPointer;  // drawn into the frame before
  std::vector<platform::Rect> m_outputChanges;
  platform::Rect m_underPointer;  // in m_frameData
  std::vector<uint8_t> m_underPixels;
};
