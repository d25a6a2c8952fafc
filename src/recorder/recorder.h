#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "recordmode.h"
#include "recorder/recorderror.h"
#include "recorder/videocapture/windowcapturerinterface.h"

class AudioCapturer;
class FileMuxer;

// What the main window gives the recorder at start.
struct RecordParams {
  RecordMode mode = RecordMode::Monitor;
  int32_t audioMode = 0;   // /record/recordaudio at start
  int32_t resolution = 0;  // /record/recordresolution at start
  platform::WindowId window = 0;
  platform::MonitorId monitor = 0;
  platform::Rect region;   // desktop coordinates (region mode)
  std::string outputPath;  // UTF-8
  int32_t qp = 0;
  bool highlight = false;
};

enum NotifyType : int {
  kNotifyError = 0,
  // A sound source was lost while the recording goes on; the code names it
  // as Start does: kRecordSpeakerInitFailed or kRecordMicInitFailed.
  kNotifySoundSourceLost = 1,
};

class RecorderObserver {
 public:
  virtual void OnRecorderNotify(NotifyType type, RecordError code) = 0;
};

// One recording: creates the capture source and the audio capturers, hands
// them to the MP4 writer and relays the loss of the source to its observers.
class Recorder : public WindowCapturerObserver {
 public:
  Recorder();
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  bool CreateMuxer();
  void AddObserver(RecorderObserver* observer);
  // 0, 3 (screen capturer), 4 (speaker), 5 (microphone) or -1 (writer).
  int Start(const RecordParams& params);
  bool Stop();
  void Pause();
  void Resume();
  bool IsRecording();
  bool IsPaused();
  std::vector<std::string> GetOutputFiles();
  RecordParams GetRecordParams();

  void OnDeviceLost() override;

  void GetCaptureSize(platform::MonitorId monitor, platform::WindowId window, int* width,
                      int* height);

 private:
  void Notify(NotifyType type, RecordError code);
  // From an audio capturer's thread.
  void OnSoundSourceLost(RecordError source);

  RecordParams m_params;
  WindowCapturerInterface* m_capturer = nullptr;
  AudioCapturer* m_speakerCapturer = nullptr;
  AudioCapturer* m_micCapturer = nullptr;
  FileMuxer* m_muxer = nullptr;
  std::vector<RecorderObserver*> m_observers;
  std::shared_ptr<PreProcesser> m_preProcesser;
  bool m_stopped = false;
  // The writer's files as they stand after its stop.
  std::vector<std::string> m_outputFiles;
};
