#include "recorder/ffmpegmuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
}

#include <glog/logging.h>

#include <filesystem>
#include <limits>

#include "recorder/audiocapturer.h"
#include "recorder/audiostreamformat.h"
#include "recorder/ffmpegmuxer_private.h"
#include "recorder/mp4finalizer.h"
#include "recorder/video/videoencoderfactory.h"
#include "recorder/video/videoencoderinterface.h"
#include "recorder/videocapture/windowcapturerinterface.h"

// The writer's life: Init, Start, Stop, Pause and Resume. Its frame-rate
// grid is in ffmpegmuxer_grid.cpp, its sound in ffmpegmuxer_sound.cpp, its
// files and segments in ffmpegmuxer_output.cpp.

namespace {

uint64_t DefaultLayoutMask(int channels) {
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, channels);
  const uint64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
  av_channel_layout_uninit(&layout);
  return mask;
}

// A sound source or filter that fails costs that sound, not the recording.
void LogSoundError(int code, int index) {
  LOG(ERROR) << "sound path " << index << " failed: " << ErrorText(code);
}

}  // namespace

// --- FileMuxer ---

std::vector<std::string> FileMuxer::GetOutputFiles() const {
  std::lock_guard<std::mutex> lock(m_filesMutex);
  return m_outputFiles;
}

void FileMuxer::AddOutputFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_filesMutex);
  m_outputFiles.push_back(path);
}

bool FileMuxer::DropNewestOutputFile() {
  std::lock_guard<std::mutex> lock(m_filesMutex);
  if (m_outputFiles.size() < 2) return false;
  m_outputFiles.pop_back();
  return true;
}

void FileMuxer::ReportFailure(RecordError code) {
  if (m_failureReported.exchange(true)) return;
  if (m_failureCallback) m_failureCallback(code);
}

// --- FfmpegMuxer ---

FfmpegMuxer::FfmpegMuxer() : m_pcmHeader(av_frame_alloc()) {}

FfmpegMuxer::~FfmpegMuxer() {
  Stop();
  Release();
}

int FfmpegMuxer::Init(const char* path, WindowCapturerInterface* capturer,
                      AudioCapturer** sources, int count, const MuxParams& params) {
  LOG(INFO) << "ffmpeg starts initing";
  if (m_initialised) {
    LOG(ERROR) << "ffmpegmuxer has inited";
    return -1;
  }
  m_params = params;
  m_path = path ? path : "";
  // Later segments go beside the first file.
  m_folder = std::filesystem::u8path(m_path).parent_path().u8string();
  if (m_folder.empty()) m_folder = ".";
  bool ok = true;
  if (m_path.empty() || !capturer || count < 0 || count > 2 || (count > 0 && !sources) ||
      params.fps <= 0 || params.width <= 0 || params.height <= 0) {
    LOG(ERROR) << "ffmpegmuxer init params are invalid";
    ok = false;
  } else if (InitVideo(capturer) != 0) {
    LOG(ERROR) << "add video stream failed";
    ok = false;
  } else if (count != 0 && InitAudio(sources, count) != 0) {
    LOG(ERROR) << "add audio stream failed";
    ok = false;
  } else if (CreateOutput() != 0) {
    ok = false;
  } else {
    m_initialised = true;
  }
  if (!ok) {
    Release();
    LOG(INFO) << "ffmpeg inits failed";
    return -1;
  }
  LOG(INFO) << "ffmpeg inits successfully";
  return 0;
}

int FfmpegMuxer::InitVideo(WindowCapturerInterface* capturer) {
  m_video = std::make_unique<OutputStream>();
  m_video->capturer = capturer;
  capturer->SetCallbacks([this](AVFrame* frame) { OnVideoFrame(frame); },
                         [this](RecordError code) {
                           LOG(ERROR) << "capture source failed: " << code;
                           ReportFailure(kRecordCaptureLost);
                         });

  m_video->encoder.reset(CreateVideoEncoder());
  if (!m_video->encoder) {
    LOG(ERROR) << "create video encoder failed";
    return -1;
  }
  int ret = m_video->encoder->Init(m_params.width, m_params.height, m_params.fps,
                                   m_params.reserved0, m_params.qp, 0);
  if (ret != 0) {
    LOG(ERROR) << "video encoder inits failed";
    return ret;
  }
  m_video->encoder->SetCallbacks([this](AVPacket* packet) { OnVideoPacket(packet); },
                                 [this](RecordError code) {
                                   LOG(ERROR) << "video encoding failed: " << code;
                                   ReportFailure(kRecordEncodeFailed);
                                 });

  const platform::Rect rect = capturer->GetCaptureRect();
  m_video->sws = std::make_unique<SwsHelper>();
  ret = m_video->sws->Init(capturer->GetPixelFormat(), rect.Width(), rect.Height(),
                           m_video->encoder->GetPixelFormat(), m_params.width, m_params.height);
  if (ret != 0) {
    LOG(ERROR) << "sws inits failed,error is " << ret;
    return ret;
  }
  if (!m_params.watermarkText.empty()) {
    m_video->watermark = std::make_unique<WatermarkMaker>();
    m_video->watermark->MakeTextImage(m_params.watermarkText, rect.Width() / 2,
                                      rect.Height() / 8);
  }
  m_video->params = m_params;
  return 0;
}

int FfmpegMuxer::InitAudio(AudioCapturer** sources, int count) {
  m_audio = std::make_unique<OutputStream>();
  m_audio->sourceCount = count;
  m_audio->aac = std::make_unique<AacEncoder>();
  if (m_audio->aac->Init(m_params.channels, m_params.sampleRate, m_params.sampleFormat,
                         m_params.audioBitRate) != 0) {
    LOG(ERROR) << "audio encoder inits failed";
    return -1;
  }
  m_audio->aac->SetCallbacks([this](AVPacket* packet) { OnAudioPacket(packet); },
                             [this](RecordError code) {
                               LOG(ERROR) << "audio encoding failed: " << code;
                               ReportFailure(kRecordEncodeFailed);
                             });

  AudioStreamFormat target;
  target.timeBase = kMicroseconds;
  target.sampleRate = m_params.sampleRate;
  target.sampleFormat = m_params.sampleFormat;
  target.channels = m_params.channels;
  target.channelLayout = DefaultLayoutMask(m_params.channels);

  const int frameSamples = m_audio->aac->GetFrameSize();
  const int capacity = av_samples_get_buffer_size(
      nullptr, m_params.channels, frameSamples, static_cast<AVSampleFormat>(m_params.sampleFormat), 1);
  if (frameSamples <= 0 || capacity <= 0) {
    LOG(ERROR) << "audio frame size is invalid";
    return -1;
  }

  std::vector<AudioStreamFormat> inputs;
  for (int i = 0; i < count; ++i) {
    AudioCapturer* source = sources[i];
    if (!source) {
      LOG(ERROR) << "audio source " << i << " is missing";
      return -1;
    }
    m_audio->sources.push_back(source);
    source->SetCallbacks([this](AVFrame* frame, int index) { OnAudioFrame(frame, index); },
                         LogSoundError, i);
    AudioStreamFormat input;
    input.timeBase = source->GetTimeBase();
    input.sampleRate = source->GetSampleRate();
    input.sampleFormat = source->GetSampleFormat();
    input.channels = source->GetChannels();
    input.channelLayout = source->GetChannelLayout();
    inputs.push_back(input);

    auto resampler = std::make_unique<filter_aresample>();
    if (resampler->Init(input, target, i) != 0) {
      LOG(ERROR) << "aresample inits failed for source " << i;
      return -1;
    }
    resampler->SetCallbacks([this](AVFrame* frame, int index) { OnFilteredAudio(frame, index); },
                            LogSoundError);
    m_audio->resamplers.push_back(std::move(resampler));

    PcmGatherer gatherer;
    gatherer.capacity = capacity;
    gatherer.frameSamples = frameSamples;
    gatherer.buffer.assign(static_cast<size_t>(capacity), 0);
    m_audio->gatherers.push_back(std::move(gatherer));
  }
  if (count > 1) {
    m_audio->mixer = std::make_unique<AudioMixer>();
    if (m_audio->mixer->Init(inputs[0], inputs[1], target) != 0) {
      LOG(ERROR) << "amix inits failed";
      return -1;
    }
    m_audio->mixer->SetCallbacks(
        [this](AVFrame* frame, int index) { OnFilteredAudio(frame, index); }, LogSoundError);
    m_audioFilterTimeBase = m_audio->mixer->GetTimeBase();
  } else {
    m_audioFilterTimeBase = m_audio->resamplers[0]->GetTimeBase();
  }
  if (m_audioFilterTimeBase.num <= 0 || m_audioFilterTimeBase.den <= 0)
    m_audioFilterTimeBase = AVRational{1, m_params.sampleRate};
  m_audio->params = m_params;
  return 0;
}

void FfmpegMuxer::Release() {
  if (m_video) {
    if (m_video->capturer) m_video->capturer->SetCallbacks(nullptr, nullptr);
    m_video.reset();
  }
  if (m_audio) {
    for (size_t i = 0; i < m_audio->sources.size(); ++i)
      m_audio->sources[i]->SetCallbacks(nullptr, nullptr, static_cast<int>(i));
    m_audio.reset();
  }
  if (m_context) {
    const bool unused = m_fileOpen && !m_everStarted;
    CloseOutputFile();
    // A file of a writer that never started holds only a header.
    if (unused) {
      std::error_code ec;
      std::filesystem::remove(std::filesystem::u8path(m_path), ec);
    }
  }
  m_initialised = false;
}

int FfmpegMuxer::Start() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_startFailure = StartFailure{};
  if (m_running) {
    LOG(ERROR) << "ffmpegmuxer is running";
    return 0;
  }
  if (!m_initialised) {
    LOG(ERROR) << "ffmpegmuxer doesn't inits";
    return -1;
  }
  // The file starts now; its first picture stands for the screen from here.
  m_startTime = av_gettime_relative();
  m_recordStart = m_startTime;
  m_pausedTotal = 0;
  m_resumeTime = 0;
  m_pauses.clear();
  m_gridStart = AV_NOPTS_VALUE;
  m_gridSet = false;
  m_lastSlot = -1;
  m_pending.clear();
  m_lastPicture.reset();
  m_changes.clear();
  m_bufferHolds.clear();
  m_segmentStart = m_startTime;
  m_segmentStartNext = false;
  m_soundStarted = false;
  m_splitAfter = AV_NOPTS_VALUE;
  m_splitAt = AV_NOPTS_VALUE;
  m_heldAudio.clear();
  m_picturesPushed = 0;
  m_picturesEncoded = 0;
  // Read by the capture thread as it hands pictures on.
  if (m_params.segmentMode == 1 && m_params.segmentMinutes > 0)
    m_segmentDurationLimit = m_params.segmentMinutes * 60 * 1000000;
  else if (m_params.segmentMode == 2 && m_params.segmentMegabytes > 0)
    m_segmentSizeLimit = m_params.segmentMegabytes * 1024 * 1024;

  // Each step is checked; a failure stops what was started.
  bool encodersStarted = false;
  bool filtersStarted = false;
  int audioStarted = 0;
  bool failed = false;
  if (m_video->encoder->Start() != 0) {
    LOG(ERROR) << "video encoder starts failed";
    failed = true;
  }
  if (!failed && m_audio && m_audio->aac->Start() != 0) {
    LOG(ERROR) << "audio encoder starts failed";
    failed = true;
  }
  encodersStarted = true;
  if (!failed && m_audio) {
    filtersStarted = true;
    if (m_audio->mixer) {
      if (m_audio->mixer->Start() != 0) {
        LOG(ERROR) << "audio mixer starts failed";
        failed = true;
      }
    } else {
      for (auto& resampler : m_audio->resamplers) {
        if (resampler->Start() != 0) {
          LOG(ERROR) << "audio resampler starts failed";
          failed = true;
        }
      }
    }
  }
  // Frames are taken from here on.
  m_accepting = true;
  m_running = true;
  if (!failed && m_audio) {
    for (AudioCapturer* source : m_audio->sources) {
      if (source->Start() != 0) {
        LOG(ERROR) << "audio capturer " << audioStarted << " starts failed";
        m_startFailure.audioSource = audioStarted;
        failed = true;
        break;
      }
      ++audioStarted;
    }
  }
  if (!failed && m_video->capturer->Start() != 0) {
    LOG(ERROR) << "capturer starts failed";
    m_startFailure.videoSource = true;
    failed = true;
  }
  if (failed) {
    m_running = false;
    m_accepting = false;
    for (int i = 0; i < audioStarted; ++i) m_audio->sources[static_cast<size_t>(i)]->Stop();
    if (filtersStarted) {
      if (m_audio->mixer) m_audio->mixer->Stop();
      for (auto& resampler : m_audio->resamplers) resampler->Stop();
    }
    if (encodersStarted) {
      m_video->encoder->Stop();
      if (m_audio) m_audio->aac->Stop();
    }
    return -1;
  }
  m_everStarted = true;
  AddOutputFile(m_path);
  return 0;
}

int FfmpegMuxer::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_running || m_stopping) return 0;
    m_stopping = true;
  }
  // The writer lock is not held from here to the trailer: the encoder
  // threads write their last packets through it while they are joined.
  if (m_audio)
    for (AudioCapturer* source : m_audio->sources) source->Stop();
  m_video->capturer->Stop();
  PushPending(m_pending.size());
  HoldLastPictureToStop();
  if (m_audio) {
    // The end of every input lets the filters give up what they hold; their
    // pull threads hand all of it on before they end.
    for (int i = 0; i < m_audio->sourceCount; ++i) {
      if (m_audio->mixer)
        m_audio->mixer->AddFrame(nullptr, i);
      else
        m_audio->resamplers[static_cast<size_t>(i)]->AddFrame(nullptr);
    }
    if (m_audio->mixer) m_audio->mixer->Stop();
    for (auto& resampler : m_audio->resamplers) resampler->Stop();
    if (!m_audio->gatherers.empty() && m_audio->gatherers[0].filledSamples > 0)
      PushGatheredBlock(m_audio->gatherers[0]);
  }
  m_video->encoder->StopAfterDrain();
  if (m_audio) m_audio->aac->Stop();

  std::lock_guard<std::mutex> lock(m_mutex);
  m_accepting = false;
  m_running = false;
  m_paused = false;
  m_stopping = false;
  const bool pictureless = m_fileOpen && !m_videoInFile;
  // Sound held for a file that was not begun after all.
  m_splitAt = AV_NOPTS_VALUE;
  if (m_fileOpen && !m_failed) WriteHeldAudio();
  m_heldAudio.clear();
  if (m_fileOpen && !m_failed) {
    const int ret = av_write_trailer(m_context);
    if (ret < 0) {
      LOG(ERROR) << "av_write_trailer failed" << ",error is " << ErrorText(ret);
      MarkFailed("the file could not be completed");
    }
  }
  const bool failed = m_failed;
  CloseOutputFile();
  // A segment begun just before the stop holds no picture and would not
  // play: it is not left behind.
  if (pictureless && DropNewestOutputFile()) {
    std::error_code ec;
    std::filesystem::remove(std::filesystem::u8path(m_path), ec);
    LOG(INFO) << "removed the last segment, it holds no picture: " << m_path;
  } else if (m_finalizer) {
    m_finalizer->Finish();
  }
  m_finalizer.reset();
  LOG(INFO) << "ffmpegmuxer stopped, video packets " << m_videoPackets << ", audio packets "
            << m_audioPackets;
  return failed ? -1 : 0;
}

int FfmpegMuxer::Pause() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_running || m_paused) return 0;
  m_pauseStart = av_gettime_relative();
  m_pauses.emplace_back(m_pauseStart, std::numeric_limits<int64_t>::max());
  m_resumed = false;
  m_paused = true;
  LOG(INFO) << "pause recording";
  return 0;
}

int FfmpegMuxer::Resume() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_paused) {
    LOG(ERROR) << "ffmpegmuxer is not paused";
    return -1;
  }
  const int64_t now = av_gettime_relative();
  m_pausedTotal += now - m_pauseStart;
  m_resumeTime = now;
  if (!m_pauses.empty()) m_pauses.back().second = now;
  m_resumed = true;
  m_paused = false;
  LOG(INFO) << "Resume recording";
  return 0;
}

uint64_t FfmpegMuxer::KeyFramesRequested() const {
  return m_video && m_video->encoder ? m_video->encoder->KeyFramesRequested() : 0;
}

uint64_t FfmpegMuxer::PicturesRefused() const {
  return m_video && m_video->encoder ? m_video->encoder->DroppedFrames() : 0;
}
