#include "recorder/recorder.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <glog/logging.h>

#include <QColor>

#include <algorithm>

#include "platform/monitors.h"
#include "platform/windows.h"
#include "recorder/audiocapturer.h"
#include "recorder/audiodevices.h"
#include "recorder/ffmpegmuxer.h"
#include "recorder/mousepreprocesser.h"
#include "recorder/wasapiaudiocapturer.h"
#include "settings.h"

namespace {

// Finds the stored endpoint, else takes the default one.
void ChooseDevice(const QString& stored, bool render, std::string& id, std::string& name) {
  id = stored.toUtf8().toStdString();
  name.clear();
  bool found = false;
  if (!id.empty()) {
    std::vector<AudioDevice> devices;
    if (render)
      GetRenderDevices(devices);
    else
      GetCaptureDevices(devices);
    for (const AudioDevice& device : devices) {
      if (device.id == id) {
        name = device.name;
        found = true;
        break;
      }
    }
  }
  if (!found) {
    id.clear();
    name.clear();
    if (render)
      GetDefaultRenderDevice(id, name);
    else
      GetDefaultCaptureDevice(id, name);
  }
}

}  // namespace

Recorder::Recorder() = default;

Recorder::~Recorder() {
  // A recording that was started and never stopped still ends its file.
  if (!m_stopped && (m_muxer || m_capturer || m_speakerCapturer || m_micCapturer)) Stop();
  m_preProcesser.reset();
  m_observers.clear();
}

bool Recorder::CreateMuxer() {
  if (!m_muxer) m_muxer = new FfmpegMuxer();
  return true;
}

void Recorder::AddObserver(RecorderObserver* observer) {
  if (!observer) return;
  if (std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
    m_observers.push_back(observer);
}

int Recorder::Start(const RecordParams& params) {
  LOG(INFO) << "Start to record";
  m_params = params;
  Settings* settings = Settings::Instance();

  CaptureParams captureParams;
  captureParams.preProcess = params.highlight;
  captureParams.mode = params.mode;
  if (params.mode == RecordMode::Window) {
    m_capturer = CreateWindowCapturer(params.window);
    captureParams.window = params.window;
  } else {
    m_capturer = CreateMonitorCapturer(params.monitor);
    captureParams.monitor = params.monitor;
    captureParams.window = 0;
    if (params.mode == RecordMode::Region) captureParams.region = params.region;
  }
  if (!m_capturer) {
    LOG(ERROR) << "no capturer for mode " << RecordModeName(params.mode);
    return kRecordCapturerInitFailed;
  }
  captureParams.drawCursor = settings->GetGeneralRecordmouse();
  captureParams.frameRate = settings->GetRecordVideoframerate();
  const QColor color = settings->GetKeymouseMouseColor();
  captureParams.red = color.red();
  captureParams.green = color.green();
  captureParams.blue = color.blue();
  captureParams.haloDiameter = settings->GetKeymouseHaloDiameter();

  m_capturer->AddObserver(this);
  if (!m_capturer->Init(captureParams)) {
    LOG(ERROR) << "capturer inits failed";
    return kRecordCapturerInitFailed;
  }
  if (params.highlight) {
    if (!m_preProcesser) m_preProcesser = std::make_shared<MousePreProcesser>();
    m_capturer->AddPreProcesser(m_preProcesser);
  }

  std::string speakerId;
  std::string speakerName;
  ChooseDevice(settings->GetRecordSpeakerUnique(), true, speakerId, speakerName);
  std::string micId;
  std::string micName;
  ChooseDevice(settings->GetRecordMicUnique(), false, micId, micName);

  const unsigned int audioMode = settings->GetRecordRecordaudio();
  const bool wantSpeaker = audioMode == 0 || audioMode == 2;
  const bool wantMic = audioMode == 1 || audioMode == 2;
  AudioCapturer* audio[2] = {nullptr, nullptr};
  int audioCount = 0;
  if (wantSpeaker && !speakerId.empty()) {
    m_speakerCapturer = new WASAPIAudioCapturer();
    if (m_speakerCapturer->Init(speakerName, speakerId, 0) != 0) return kRecordSpeakerInitFailed;
    m_speakerCapturer->SetLostCallback([this] { OnSoundSourceLost(kRecordSpeakerInitFailed); });
    audio[audioCount++] = m_speakerCapturer;
  }
  if (wantMic && !micId.empty()) {
    m_micCapturer = new WASAPIAudioCapturer();
    if (m_micCapturer->Init(micName, micId, 1) != 0) return kRecordMicInitFailed;
    m_micCapturer->SetLostCallback([this] { OnSoundSourceLost(kRecordMicInitFailed); });
    audio[audioCount++] = m_micCapturer;
  }

  MuxParams muxParams;
  muxParams.fps = static_cast<int32_t>(settings->GetRecordVideoframerate());
  muxParams.reserved0 = 0;
  muxParams.width = 1920;
  muxParams.height = 1080;
  switch (params.mode) {
    case RecordMode::Monitor:
      GetCaptureSize(params.monitor, 0, &muxParams.width, &muxParams.height);
      break;
    case RecordMode::Region:
      muxParams.width = params.region.Width();
      muxParams.height = params.region.Height();
      break;
    case RecordMode::Window:
      GetCaptureSize(0, params.window, &muxParams.width, &muxParams.height);
      break;
  }
  // H.264 in 4:2:0 needs even sizes.
  muxParams.width &= ~1;
  muxParams.height &= ~1;
  muxParams.qp = params.qp;
  muxParams.reserved1 = 0;
  muxParams.channels = 2;
  muxParams.sampleRate = static_cast<int32_t>(settings->GetRecordAudiofrequency());
  muxParams.sampleFormat = AV_SAMPLE_FMT_FLTP;
  muxParams.audioBitRate = static_cast<int32_t>(settings->GetRecordAudiobitrate() * 1000);
  muxParams.watermarkText = settings->GetWatermarkText().toUtf8().toStdString();
  muxParams.segmentMode = settings->GetRecordFilesegment();
  muxParams.segmentMinutes = settings->GetRecordFsduration();
  muxParams.segmentMegabytes = settings->GetRecordFssize();

  if (!m_muxer) CreateMuxer();
  // A source that is gone, or a file that can no longer be encoded or
  // written, ends the recording: the observers stop it and say which.
  m_muxer->SetFailureCallback([this](RecordError code) {
    LOG(ERROR) << "Recorder on writer failure: " << code;
    Notify(kNotifyError, code);
  });
  if (m_muxer->Init(params.outputPath.c_str(), m_capturer, audio, audioCount, muxParams) != 0)
    return kRecordFailed;
  const int ret = m_muxer->Start();
  if (ret != 0) {
    const FileMuxer::StartFailure failure = m_muxer->GetStartFailure();
    if (failure.videoSource) return kRecordCapturerInitFailed;
    if (failure.audioSource >= 0) {
      AudioCapturer* source = audio[failure.audioSource];
      return source == m_speakerCapturer ? kRecordSpeakerInitFailed
                                         : kRecordMicInitFailed;
    }
    return kRecordFailed;
  }
  return kRecordSuccess;
}

bool Recorder::Stop() {
  if (m_stopped) return true;
  m_stopped = true;
  if (m_muxer) {
    m_muxer->Stop();
    m_outputFiles = m_muxer->GetOutputFiles();
    delete m_muxer;
    m_muxer = nullptr;
  }
  delete m_capturer;
  m_capturer = nullptr;
  delete m_speakerCapturer;
  m_speakerCapturer = nullptr;
  delete m_micCapturer;
  m_micCapturer = nullptr;
  return true;
}

void Recorder::Pause() {
  if (m_muxer) m_muxer->Pause();
}

void Recorder::Resume() {
  if (m_muxer) m_muxer->Resume();
}

bool Recorder::IsRecording() { return m_muxer && m_muxer->IsRunning(); }

bool Recorder::IsPaused() { return m_muxer && m_muxer->IsPaused(); }

std::vector<std::string> Recorder::GetOutputFiles() {
  return m_muxer ? m_muxer->GetOutputFiles() : m_outputFiles;
}

RecordParams Recorder::GetRecordParams() { return m_params; }

void Recorder::OnDeviceLost() {
  LOG(INFO) << "Recorder on device lost";
  Notify(kNotifyError, kRecordCaptureLost);
}

// The recording goes on with silence in the source's place.
void Recorder::OnSoundSourceLost(RecordError source) {
  LOG(WARNING) << "Recorder on sound source lost: " << source;
  Notify(kNotifySoundSourceLost, source);
}

void Recorder::Notify(NotifyType type, RecordError code) {
  for (RecorderObserver* observer : m_observers) observer->OnRecorderNotify(type, code);
}

void Recorder::GetCaptureSize(platform::MonitorId monitor, platform::WindowId window, int* width,
                              int* height) {
  switch (Settings::Instance()->GetRecordRecordresolution()) {
    case 0: break;
    case 2: *width = 1280; *height = 720; return;
    case 3: *width = 720; *height = 480; return;
    case 4: *width = 4096; *height = 2160; return;
    default: *width = 1920; *height = 1080; return;
  }
  platform::Rect rect;
  platform::MonitorInfo info;
  if (monitor) {
    if (platform::FindMonitor(monitor, &info)) rect = info.rect;
  } else if (window) {
    // What the window's capture holds, without the window manager's frame.
    rect = platform::Windows().ClientBounds(window);
  } else if (m_params.mode == RecordMode::Window && m_capturer) {
    // The window that the desktop picked, as large as its capture opened.
    rect = m_capturer->GetCaptureRect();
  } else {
    rect = platform::PrimaryMonitorRect();
  }
  if (rect.IsEmpty()) rect = platform::PrimaryMonitorRect();
  *width = rect.Width();
  *height = rect.Height();
}
