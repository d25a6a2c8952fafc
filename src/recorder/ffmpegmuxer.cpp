#include "recorder/ffmpegmuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
}

#include <glog/logging.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "recorder/audio/aacencoder.h"
#include "recorder/audiocapturer.h"
#include "recorder/audiomixer.h"
#include "recorder/audiostreamformat.h"
#include "recorder/filteraresample.h"
#include "recorder/mp4finalizer.h"
#include "recorder/swshelper.h"
#include "recorder/video/videoencoderfactory.h"
#include "recorder/video/videoencoderinterface.h"
#include "recorder/videocapture/windowcapturerinterface.h"
#include "recorder/watermarkmaker.h"
#include "utils.h"

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
// Fragments of one second: a file cut short (full disk, crash) stays
// playable up to its last complete fragment. A complete file is then made an
// ordinary MP4 in place (Mp4Finalizer).
constexpr const char* kMovFlags = "empty_moov+default_base_moof";
constexpr const char* kFragmentDuration = "1000000";
// A picture whose slot is taken may go into the next one when that shows it
// at most this many intervals late, so that pictures that come at the frame
// rate, however unevenly (a 60 Hz screen presents 25 fps as 33 and 50 ms
// steps), all reach the file.
constexpr int64_t kCarryQuarters = 3;
// The segment clock of a file's first picture.
constexpr int64_t kFirstPictureElapsed = 16666;
// Sound held for the next file while its key frame is awaited, at most (µs).
constexpr int64_t kHeldSoundLimit = 2000000;

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof(text));
  return text;
}

uint64_t DefaultLayoutMask(int channels) {
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, channels);
  const uint64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
  av_channel_layout_uninit(&layout);
  return mask;
}

using CodecContextPtr = std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)>;
CodecContextPtr MakeCodecContext(const AVCodec* codec) {
  return CodecContextPtr(avcodec_alloc_context3(codec),
                         [](AVCodecContext* c) { avcodec_free_context(&c); });
}

bool CopyExtradata(AVCodecContext* context, const uint8_t* data, int size) {
  if (!data || size <= 0) return true;
  context->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!context->extradata) return false;
  memcpy(context->extradata, data, size);
  context->extradata_size = size;
  return true;
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

struct FfmpegMuxer::OutputStream {
  AVStream* stream = nullptr;
  MuxParams params;
  // Video.
  std::unique_ptr<VideoEncoderInterface> encoder;
  WindowCapturerInterface* capturer = nullptr;
  std::unique_ptr<SwsHelper> sws;
  std::unique_ptr<WatermarkMaker> watermark;
  // Audio.
  std::unique_ptr<AacEncoder> aac;
  std::unique_ptr<AudioMixer> mixer;
  std::vector<std::unique_ptr<filter_aresample>> resamplers;
  int sourceCount = 0;
  std::vector<AudioCapturer*> sources;
  std::vector<PcmGatherer> gatherers;
};

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

int FfmpegMuxer::CreateOutput() {
  AVFormatContext* context = nullptr;
  int ret = avformat_alloc_output_context2(&context, nullptr, nullptr, m_path.c_str());
  if (ret < 0 || !context) {
    LOG(ERROR) << "avformat_alloc_output_context2 failed" << ",error is " << ErrorText(ret);
    LOG(ERROR) << "Alloc context failed";
    return kRecordOutputFailed;
  }
  m_context = context;
  m_format = context->oformat;
  ret = AddVideoStream();
  if (ret != 0) {
    LOG(ERROR) << "Create video stream failed";
    CloseOutputFile();
    return ret;
  }
  if (m_audio) {
    ret = AddAudioStream();
    if (ret != 0) {
      LOG(ERROR) << "Create audio stream failed";
      CloseOutputFile();
      return ret;
    }
  }
  ret = OpenOutputFile();
  if (ret != 0) {
    const bool opened = m_context && m_context->pb;
    CloseOutputFile();
    // Nothing usable was written.
    if (opened) {
      std::error_code ec;
      std::filesystem::remove(std::filesystem::u8path(m_path), ec);
    }
    return ret;
  }
  return 0;
}

int FfmpegMuxer::AddVideoStream() {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) {
    LOG(ERROR) << "find h264 encoder id failed";
    return kRecordEncoderNotFound;
  }
  AVStream* stream = avformat_new_stream(m_context, nullptr);
  if (!stream) {
    LOG(ERROR) << "create new stream failed";
    return -1;
  }
  CodecContextPtr context = MakeCodecContext(codec);
  if (!context) return -1;
  context->codec_type = AVMEDIA_TYPE_VIDEO;
  context->codec_id = AV_CODEC_ID_H264;
  context->width = m_params.width;
  context->height = m_params.height;
  context->coded_width = m_params.width;
  context->coded_height = m_params.height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{1, m_params.fps};
  context->framerate = AVRational{m_params.fps, 1};
  context->max_b_frames = 0;
  context->has_b_frames = 0;
  if (m_format->flags & AVFMT_GLOBALHEADER) {
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (!CopyExtradata(context.get(), m_video->encoder->GetExtradata(),
                       m_video->encoder->GetExtradataSize()))
      return -1;
  }
  if (avcodec_parameters_from_context(stream->codecpar, context.get()) < 0) return -1;
  stream->time_base = AVRational{1, 90000};
  stream->avg_frame_rate = AVRational{m_params.fps, 1};
  m_video->stream = stream;
  return 0;
}

int FfmpegMuxer::AddAudioStream() {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!codec) {
    LOG(ERROR) << "find aac failed";
    return -1;
  }
  AVStream* stream = avformat_new_stream(m_context, nullptr);
  if (!stream) {
    LOG(ERROR) << "new aac stream failed";
    return -1;
  }
  av_dict_set(&stream->metadata, "title", "Track1", 0);
  CodecContextPtr context = MakeCodecContext(codec);
  if (!context) return -1;
  context->codec_type = AVMEDIA_TYPE_AUDIO;
  context->codec_id = AV_CODEC_ID_AAC;
  context->bit_rate = m_params.audioBitRate;
  context->sample_rate = m_params.sampleRate;
  context->sample_fmt = static_cast<AVSampleFormat>(m_params.sampleFormat);
  av_channel_layout_default(&context->ch_layout, m_params.channels);
  context->time_base = AVRational{1, m_params.sampleRate};
  context->frame_size = m_audio->aac->GetFrameSize();
  if (m_format->flags & AVFMT_GLOBALHEADER) {
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (!CopyExtradata(context.get(), m_audio->aac->GetExtradata(),
                       m_audio->aac->GetExtradataSize()))
      return -1;
  }
  if (avcodec_parameters_from_context(stream->codecpar, context.get()) < 0) return -1;
  stream->time_base = AVRational{1, m_params.sampleRate};
  m_audio->stream = stream;
  return 0;
}

int FfmpegMuxer::OpenOutputFile() {
  int ret = 0;
  if (!(m_format->flags & AVFMT_NOFILE)) {
    ret = avio_open(&m_context->pb, m_path.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) {
      LOG(ERROR) << "avio_open failed" << ",error is " << ErrorText(ret);
      return -1;
    }
  }
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", kMovFlags, 0);
  av_dict_set(&options, "frag_duration", kFragmentDuration, 0);
  ret = avformat_write_header(m_context, &options);
  av_dict_free(&options);
  if (ret < 0) {
    LOG(ERROR) << "avformat_write_header failed" << ",error is " << ErrorText(ret);
    return -1;
  }
  if (m_context->pb) {
    avio_flush(m_context->pb);
    if (m_context->pb->error < 0) {
      LOG(ERROR) << "writing the file header failed" << ",error is "
                 << ErrorText(m_context->pb->error);
      return -1;
    }
    m_completeBytes = m_writtenBytes = avio_tell(m_context->pb);
  }
  m_fileBytes = m_completeBytes;
  m_bytesAtLastPicture = m_completeBytes;
  m_fileOpen = true;
  // Opened now, the file is finished at its end wherever it has moved.
  m_finalizer = std::make_unique<Mp4Finalizer>();
  m_finalizer->Open(m_path);
  return 0;
}

void FfmpegMuxer::CloseOutputFile() {
  if (!m_context) return;
  if (m_format && !(m_format->flags & AVFMT_NOFILE)) {
    avio_closep(&m_context->pb);
    // A file that could not be written on ends with its last whole
    // fragment: what lies past it may be cut anywhere.
    if (m_failed && m_fileOpen && m_completeBytes > 0) {
      std::error_code ec;
      const auto file = std::filesystem::u8path(m_path);
      if (std::filesystem::file_size(file, ec) > uint64_t(m_completeBytes) && !ec) {
        std::filesystem::resize_file(file, uint64_t(m_completeBytes), ec);
        if (ec)
          LOG(ERROR) << "cutting " << m_path << " back to its last fragment failed: " << ec.message();
        else
          LOG(INFO) << m_path << " ends with its last whole fragment, at " << m_completeBytes;
      }
    }
  }
  avformat_free_context(m_context);
  m_context = nullptr;
  m_fileOpen = false;
  if (m_video) m_video->stream = nullptr;
  if (m_audio) m_audio->stream = nullptr;
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

void FfmpegMuxer::OnVideoFrame(AVFrame* frame) {
  if (!frame || !m_running || m_paused || !m_video || !m_video->encoder || !m_video->sws) return;
  // Paused time leaves the clock here, so that every later timestamp is
  // continuous and increasing.
  int64_t pts = av_rescale_q(frame->pts, m_video->capturer->GetTimeBase(), kMicroseconds);
  if (pts < m_resumeTime) return;  // taken during the pause
  pts -= m_pausedTotal;
  if (pts < m_recordStart) return;
  // The first picture stands at the file's start; the grid is set by the
  // first change after it, which falls on slot 1.
  if (m_gridStart == AV_NOPTS_VALUE) {
    m_gridStart = pts;
  } else if (!m_gridSet) {
    m_gridStart = pts - av_rescale(1, 1000000, std::max(1, m_params.fps));
    m_gridSet = true;
  }
  const int64_t slot = PlaceInSlot(pts);
  if (slot < 0) return;
  const int64_t taken = pts;
  pts = SlotTime(slot);

  // Converted straight into a pooled picture that the encoder queues and
  // hands to the codec without copying.
  AVFramePtr picture = m_video->encoder->NewFrame();
  if (!picture || m_video->sws->ConvertInto(frame, picture.get()) != 0) return;
  picture->pts = picture->pkt_dts = pts;
  picture->pict_type = AV_PICTURE_TYPE_NONE;
  if (m_video->watermark) {
    AVFrame* marked = nullptr;
    if (m_video->watermark->Process(picture.get(), &marked)) {
      marked->pts = marked->pkt_dts = pts;
      marked->pict_type = AV_PICTURE_TYPE_NONE;
      picture.reset(marked);
    }
  }
  m_lastPicture.reset(av_frame_clone(picture.get()));
  m_pending.push_back(PendingPicture{std::move(picture), slot, taken});
}

// The source delivers at every change of the screen; the stream keeps to its
// frame rate. A picture belongs to the slot of the frame-rate grid it falls
// in (a quarter interval early still counts) and is stamped with the slot's
// time, so that the cadence stays even however the source was paced. When
// its slot is taken, it goes into the next slot if that shows it at most
// three quarters of an interval late: pictures that come at the frame rate
// but on another grid (a 60 Hz screen) or unevenly are all kept. A picture
// placed so only settles once the next one comes: when that one needs the
// same slot too, the screen changes faster than the frame rate, and the
// oldest waiting picture gives way, so that a slot shows the latest picture
// taken for it rather than one up to an interval older.
int64_t FfmpegMuxer::PlaceInSlot(int64_t time) {
  const int fps = std::max(1, m_params.fps);
  const int64_t since = time - m_gridStart;
  const int64_t own = since < 0 ? -1 : (since * fps + 250000) / 1000000;
  for (;;) {
    const int64_t last = m_pending.empty() ? m_lastSlot : m_pending.back().slot;
    if (own > last) {
      PushPending(m_pending.size());
      return own;
    }
    if ((SlotTime(last + 1) - time) * 4 * fps <= kCarryQuarters * 1000000) {
      PushPending(m_pending.empty() ? 0 : m_pending.size() - 1);
      return last + 1;
    }
    if (m_pending.empty()) return -1;  // its slot is encoded already
    // A free slot before the waiting pictures takes them one slot earlier
    // when none is shown more than an interval before it was taken (one
    // taken late, as a loaded machine does, is shown on time).
    bool earlier = m_pending.front().slot - 1 > std::max<int64_t>(m_lastSlot, 0);
    for (const PendingPicture& pending : m_pending)
      earlier = earlier && (pending.time - SlotTime(pending.slot - 1)) * fps <= 1000000;
    if (earlier) {
      for (PendingPicture& pending : m_pending) --pending.slot;
      continue;
    }
    const int64_t slot = m_pending.front().slot;
    m_pending.pop_front();
    if (m_pending.empty()) return slot;
    m_pending.front().slot = slot;
  }
}

// Slot 0 is the file's start, where its first picture stands.
int64_t FfmpegMuxer::SlotTime(int64_t slot) const {
  if (slot <= 0) return m_recordStart;
  return m_gridStart + av_rescale(slot, 1000000, std::max(1, m_params.fps));
}

void FfmpegMuxer::PushPending(size_t count) {
  for (; count > 0 && !m_pending.empty(); --count) {
    PendingPicture pending = std::move(m_pending.front());
    m_pending.pop_front();
    const int64_t time = SlotTime(pending.slot);
    pending.picture->pts = pending.picture->pkt_dts = time;
    if (m_segmentStartNext) {
      m_segmentStart = time;
      m_segmentStartNext = false;
      m_splitAt = time;
    }
    m_lastSlot = pending.slot;
    m_video->encoder->PushFrame(std::move(pending.picture));
    ++m_picturesPushed;
    CheckSegment(time);
  }
}

// Capture thread, for each picture given to the encoder: whether the file
// ends with it. The next picture is then asked to be a key frame and begins
// the next file, so that no picture is lost at the join; a file by size is
// ended when what it holds and the pictures still in the encoder reach the
// size.
void FfmpegMuxer::CheckSegment(int64_t pictureTime) {
  if (m_splitAfter != AV_NOPTS_VALUE || m_segmentStartNext) return;
  bool end = false;
  if (m_params.segmentMode == 1 && m_segmentDurationLimit > 0) {
    end = kFirstPictureElapsed + pictureTime - m_segmentStart > m_segmentDurationLimit;
  } else if (m_params.segmentMode == 2 && m_segmentSizeLimit > 0) {
    const int64_t inEncoder = m_picturesPushed - m_picturesEncoded -
                              static_cast<int64_t>(m_video->encoder->DroppedFrames());
    end = m_fileBytes + std::max<int64_t>(0, inEncoder) * m_bytesPerPicture >= m_segmentSizeLimit;
  }
  if (!end) return;
  m_splitAfter = pictureTime;
  m_segmentStartNext = true;
  m_video->encoder->RequestKeyFrame();
}

// A still screen delivers no pictures, so without this the picture would end
// at the last change while the recording (and its sound) goes on.
void FfmpegMuxer::HoldLastPictureToStop() {
  if (!m_lastPicture) return;
  AVFramePtr last(m_lastPicture.release());
  int64_t now;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    now = m_paused ? m_pauseStart : av_gettime_relative();
  }
  const int fps = std::max(1, m_params.fps);
  const int64_t slot = (now - m_pausedTotal - m_gridStart) * fps / 1000000;
  // A picture that is at most an interval old still stands for the stop.
  if (slot <= m_lastSlot + 1) return;
  m_pending.push_back(PendingPicture{std::move(last), slot, now - m_pausedTotal});
  PushPending(1);
}

void FfmpegMuxer::OnAudioFrame(AVFrame* frame, int index) {
  if (!m_running || !m_audio) return;
  if (index < 0 || index >= m_audio->sourceCount) return;
  auto add = [&](AVFrame* f) {
    if (m_audio->mixer)
      m_audio->mixer->AddFrame(f, index);
    else
      m_audio->resamplers[static_cast<size_t>(index)]->AddFrame(f);
  };
  // A null frame ends that source's input, also while paused: the mix would
  // wait for it forever after Resume.
  if (!frame || frame->pts == AV_NOPTS_VALUE) {
    add(frame);
    return;
  }
  // The pauses are cut out by the time the sound was captured, however late
  // it comes: each part of the frame outside them goes on, its timestamp
  // less the paused time before it.
  const AVRational base = m_audio->sources[static_cast<size_t>(index)]->GetTimeBase();
  const int rate = std::max(1, frame->sample_rate);
  const int64_t start = av_rescale_q(frame->pts, base, kMicroseconds);
  const int64_t end = start + av_rescale(frame->nb_samples, 1000000, rate);
  struct Part {
    int64_t from, to, removed;
  };
  std::vector<Part> parts;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    int64_t from = start;
    int64_t removed = 0;
    for (const auto& [pauseStart, pauseEnd] : m_pauses) {
      if (from >= end) break;
      if (pauseEnd > from) {
        if (pauseStart > from) parts.push_back({from, std::min(end, pauseStart), removed});
        from = pauseEnd;
      }
      if (pauseEnd == std::numeric_limits<int64_t>::max()) break;
      removed += pauseEnd - pauseStart;
    }
    if (from < end) parts.push_back({from, end, removed});
  }
  const int64_t pts = frame->pts;
  const int samples = frame->nb_samples;
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const int planes = av_sample_fmt_is_planar(format) ? frame->ch_layout.nb_channels : 1;
  const int step = av_get_bytes_per_sample(format) * (planes == 1 ? frame->ch_layout.nb_channels : 1);
  std::vector<uint8_t*> data(frame->extended_data, frame->extended_data + planes);
  for (const Part& part : parts) {
    const int first = static_cast<int>(av_rescale(part.from - start, rate, 1000000));
    const int last = part.to == end ? samples : static_cast<int>(av_rescale(part.to - start, rate, 1000000));
    if (last <= first) continue;
    for (int p = 0; p < planes; ++p) frame->extended_data[p] = data[static_cast<size_t>(p)] + first * step;
    if (frame->extended_data != frame->data)
      for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p) frame->data[p] = frame->extended_data[p];
    frame->nb_samples = last - first;
    frame->pts = av_rescale_q(part.from - part.removed, kMicroseconds, base);
    frame->pkt_dts = frame->pts;
    add(frame);
  }
  // The caller's frame as it was.
  for (int p = 0; p < planes; ++p) frame->extended_data[p] = data[static_cast<size_t>(p)];
  if (frame->extended_data != frame->data)
    for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p) frame->data[p] = data[static_cast<size_t>(p)];
  frame->nb_samples = samples;
  frame->pts = frame->pkt_dts = pts;
}

void FfmpegMuxer::PushGatheredBlock(PcmGatherer& gatherer) {
  const auto format = static_cast<AVSampleFormat>(m_params.sampleFormat);
  if (gatherer.filledSamples < gatherer.frameSamples) {
    // The last, partial block is completed with silence.
    const int channels = m_params.channels;
    const int planes = av_sample_fmt_is_planar(format) ? channels : 1;
    const int planeBytes = gatherer.capacity / planes;
    uint8_t* data[AV_NUM_DATA_POINTERS] = {nullptr};
    for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p)
      data[p] = gatherer.buffer.data() + p * planeBytes;
    av_samples_set_silence(data, gatherer.filledSamples,
                           gatherer.frameSamples - gatherer.filledSamples, channels, format);
  }
  m_pcmHeader->pts = gatherer.firstPts;
  m_pcmHeader->pkt_dts = gatherer.firstPts;
  m_pcmHeader->nb_samples = gatherer.frameSamples;
  m_audio->aac->PushPcm(gatherer.buffer.data(), gatherer.capacity, m_pcmHeader.get());
  gatherer.filledSamples = 0;
  gatherer.firstPts = AV_NOPTS_VALUE;
}

void FfmpegMuxer::OnFilteredAudio(AVFrame* frame, int) {
  if (!frame || !m_running || !m_audio || !m_audio->aac || m_audio->gatherers.empty()) return;
  // One filtered stream reaches the encoder: gather it in source 0's block.
  PcmGatherer& gatherer = m_audio->gatherers[0];
  const auto format = static_cast<AVSampleFormat>(m_params.sampleFormat);
  const int channels = m_params.channels;
  if (frame->format != format || frame->ch_layout.nb_channels != channels) {
    LOG_FIRST_N(ERROR, 1) << "filtered audio is not in the output format";
    return;
  }
  const bool planar = av_sample_fmt_is_planar(format);
  const int sampleBytes = av_get_bytes_per_sample(format);
  const int planeBytes = planar ? gatherer.capacity / channels : gatherer.capacity;
  const int stride = planar ? sampleBytes : sampleBytes * channels;  // bytes per sample in a plane
  const int sampleRate = m_params.sampleRate;
  const int planes = planar ? channels : 1;

  int consumed = 0;
  if (!m_soundStarted && frame->pts != AV_NOPTS_VALUE) {
    // The sound starts with the file, so that its first block lies at the
    // file's 0: silence up to the first sample (up to a second of it), none
    // of the sound from before the start.
    const AVRational samples{1, sampleRate};
    const int64_t start = av_rescale_q(m_recordStart, kMicroseconds, samples);
    const int64_t first = av_rescale_q(frame->pts, m_audioFilterTimeBase, samples);
    if (first + frame->nb_samples <= start) return;
    if (first < start) consumed = static_cast<int>(start - first);
    int64_t silence = first > start && first - start <= sampleRate ? first - start : 0;
    while (silence > 0) {
      if (gatherer.filledSamples == 0) gatherer.firstPts = first - silence;
      const int n = static_cast<int>(
          std::min<int64_t>(silence, gatherer.frameSamples - gatherer.filledSamples));
      uint8_t* data[AV_NUM_DATA_POINTERS] = {nullptr};
      for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p)
        data[p] = gatherer.buffer.data() + p * planeBytes + gatherer.filledSamples * stride;
      av_samples_set_silence(data, 0, n, channels, format);
      gatherer.filledSamples += n;
      silence -= n;
      if (gatherer.filledSamples == gatherer.frameSamples) PushGatheredBlock(gatherer);
    }
  }
  m_soundStarted = true;
  while (consumed < frame->nb_samples) {
    if (gatherer.filledSamples == 0) {
      // A block's time is that of its first sample.
      gatherer.firstPts =
          frame->pts == AV_NOPTS_VALUE
              ? AV_NOPTS_VALUE
              : av_rescale_q(frame->pts, m_audioFilterTimeBase, AVRational{1, sampleRate}) +
                    consumed;
    }
    const int n = std::min(frame->nb_samples - consumed,
                           gatherer.frameSamples - gatherer.filledSamples);
    for (int p = 0; p < planes; ++p) {
      memcpy(gatherer.buffer.data() + p * planeBytes + gatherer.filledSamples * stride,
             frame->extended_data[p] + consumed * stride, static_cast<size_t>(n) * stride);
    }
    gatherer.filledSamples += n;
    consumed += n;
    if (gatherer.filledSamples == gatherer.frameSamples) PushGatheredBlock(gatherer);
  }
}

void FfmpegMuxer::OnVideoPacket(AVPacket* packet) {
  if (!packet) return;
  ++m_picturesEncoded;
  if (!m_accepting) return;
  WriteVideoPacket(packet);
}

void FfmpegMuxer::OnAudioPacket(AVPacket* packet) {
  if (!packet || !m_accepting) return;
  WriteAudioPacket(packet);
}

void FfmpegMuxer::MarkFailed(const char* what) {
  if (m_failed) return;
  m_failed = true;
  LOG(ERROR) << "the recording cannot be written any more: " << what;
  ReportFailure(kRecordFailed);
}

int FfmpegMuxer::WriteVideoPacket(AVPacket* packet) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_failed || !m_fileOpen || !m_video->stream) return -1;
  const bool key = packet->flags & AV_PKT_FLAG_KEY;
  const int64_t captured =
      av_rescale_q(packet->pts, m_video->capturer->GetTimeBase(), kMicroseconds);
  // The file ends before the key frame asked for the next one.
  const int64_t splitAfter = m_splitAfter;
  if (splitAfter != AV_NOPTS_VALUE && captured > splitAfter) {
    if (key) {
      if (!SplitSegment(captured)) return -1;
      m_splitAfter = AV_NOPTS_VALUE;
    } else {
      m_video->encoder->RequestKeyFrame();
    }
  }
  if (!m_videoInFile && !key) {
    m_video->encoder->RequestKeyFrame();
    LOG(INFO) << "The first frame isn't KEY,drop it";
    return -1;
  }
  packet->stream_index = m_video->stream->index;
  const int64_t pts = captured - m_startTime;
  if (pts < 0) {
    LOG(ERROR) << "video packet's pts is less than 0";
    return -1;
  }
  const AVRational base = m_video->stream->time_base;
  int64_t dts = av_rescale_q(pts, kMicroseconds, base);
  if (m_lastVideoDts != AV_NOPTS_VALUE && dts <= m_lastVideoDts) dts = m_lastVideoDts + 1;
  m_lastVideoDts = dts;
  packet->pts = dts;
  packet->dts = dts;
  packet->duration = av_rescale_q(1, AVRational{1, m_params.fps}, base);
  const int bytes = packet->size;
  const int ret = av_interleaved_write_frame(m_context, packet);
  if (ret < 0) {
    LOG(ERROR) << "av write frame failed" << ",error is " << ErrorText(ret);
    if (m_context->pb && m_context->pb->error < 0) MarkFailed("video write failed");
    return ret;
  }
  m_videoInFile = true;
  ++m_videoPackets;
  m_fileBytes += bytes;
  // What a picture adds to the file, sound included; key frames, which
  // begin files, left out.
  if (!key) {
    const int64_t added = m_fileBytes - m_bytesAtLastPicture;
    const int64_t average = m_bytesPerPicture;
    m_bytesPerPicture = average == 0 ? added : (7 * average + added) / 8;
  }
  m_bytesAtLastPicture = m_fileBytes;
  NoteCompleteFragment();
  return 0;
}

int FfmpegMuxer::WriteAudioPacket(AVPacket* packet) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_failed || !m_fileOpen || !m_audio || !m_audio->stream) return -1;
  const int64_t splitAt = m_splitAt;
  if (splitAt != AV_NOPTS_VALUE) {
    const AVRational packetBase{1, m_params.sampleRate};
    const int64_t start = av_rescale_q(packet->pts, packetBase, kMicroseconds);
    const int64_t heldFrom = m_heldAudio.empty()
                                 ? start
                                 : av_rescale_q(m_heldAudio.front()->pts, packetBase, kMicroseconds);
    if (start >= splitAt && start - heldFrom < kHeldSoundLimit) {
      m_heldAudio.emplace_back(av_packet_clone(packet));
      if (m_heldAudio.back()) return 0;
      m_heldAudio.pop_back();
    }
    // The key frame is long in coming (a still screen): the sound goes on
    // in this file.
    WriteHeldAudio();
  }
  return WriteAudioLocked(packet);
}

void FfmpegMuxer::WriteHeldAudio() {
  for (auto& held : m_heldAudio) WriteAudioLocked(held.get());
  m_heldAudio.clear();
}

int FfmpegMuxer::WriteAudioLocked(AVPacket* packet) {
  packet->stream_index = m_audio->stream->index;
  // In samples, the file's start rounded as the first block's time was.
  const AVRational packetBase{1, m_params.sampleRate};
  const int64_t end = packet->pts + packet->duration;
  int64_t pts = packet->pts - av_rescale_q(m_startTime, kMicroseconds, packetBase);
  // Sound from before the file's start has no place in it; the block that
  // spans the start begins the sound at the file's start.
  if (pts + packet->duration <= 0) return -1;
  if (pts < 0) {
    if (m_lastAudioDts != AV_NOPTS_VALUE) {
      LOG(ERROR) << "audio packet's pts is less than 0";
      return -1;
    }
    pts = 0;
  }
  const AVRational base = m_audio->stream->time_base;
  const int64_t dts = av_rescale_q(pts, packetBase, base);
  if (m_lastAudioDts != AV_NOPTS_VALUE && dts <= m_lastAudioDts) {
    LOG(WARNING) << "audio packet out of order, dropped";
    return -1;
  }
  m_lastAudioDts = dts;
  packet->pts = dts;
  packet->dts = dts;
  packet->duration = av_rescale_q(packet->duration, packetBase, base);
  const int bytes = packet->size;
  const int ret = av_interleaved_write_frame(m_context, packet);
  if (ret < 0) {
    LOG(ERROR) << "av write audio frame failed" << ",error is " << ErrorText(ret);
    if (m_context->pb && m_context->pb->error < 0) MarkFailed("audio write failed");
    return ret;
  }
  ++m_audioPackets;
  m_fileBytes += bytes;
  m_lastAudioEnd = av_rescale_q(end, packetBase, kMicroseconds);
  NoteCompleteFragment();
  return 0;
}

// The muxer hands the file whole fragments only (a fragment's samples are
// gathered in memory until it is complete), so a write position that moved
// is a fragment's end.
void FfmpegMuxer::NoteCompleteFragment() {
  AVIOContext* pb = m_context->pb;
  if (!pb || avio_tell(pb) == m_writtenBytes) return;
  avio_flush(pb);
  if (pb->error < 0) {
    LOG(ERROR) << "writing the file failed" << ",error is " << ErrorText(pb->error);
    MarkFailed("write failed");
    return;
  }
  m_completeBytes = m_writtenBytes = avio_tell(pb);
}

std::string FfmpegMuxer::NextSegmentPath() {
  const std::string base = NewRecordFileName(QString::fromStdString(m_folder));
  if (base.empty()) return base;
  const std::vector<std::string> files = GetOutputFiles();
  auto taken = [&files](const std::string& path) {
    std::error_code ec;
    return std::find(files.begin(), files.end(), path) != files.end() ||
           std::filesystem::exists(std::filesystem::u8path(path), ec);
  };
  if (!taken(base)) return base;
  const size_t dot = base.rfind('.');
  const std::string stem = dot == std::string::npos ? base : base.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : base.substr(dot);
  for (int i = 1;; ++i) {
    const std::string candidate = stem + "_" + std::to_string(i) + extension;
    if (!taken(candidate)) return candidate;
  }
}

bool FfmpegMuxer::SplitSegment(int64_t keyTime) {
  // The new file's clock starts at its key frame, on the same paused-time-
  // free clock as every packet, and the sound held from that time on goes
  // into it; where the sound written so far ends before the key frame, at
  // that end, so that every sample goes into one of the files.
  const int64_t soundEnd = m_audio ? m_lastAudioEnd : AV_NOPTS_VALUE;
  const int64_t start = m_heldAudio.empty() && soundEnd != AV_NOPTS_VALUE &&
                                soundEnd < keyTime && soundEnd > m_startTime
                            ? soundEnd
                            : keyTime;
  m_splitAt = AV_NOPTS_VALUE;
  const int ret = av_write_trailer(m_context);
  if (ret < 0) {
    LOG(ERROR) << "av_write_trailer failed" << ",error is " << ErrorText(ret);
    MarkFailed("the segment could not be completed");
  }
  CloseOutputFile();
  if (m_finalizer) m_finalizer->Finish();
  m_finalizer.reset();
  m_startTime = start;
  m_videoInFile = false;
  m_lastVideoDts = AV_NOPTS_VALUE;
  m_lastAudioDts = AV_NOPTS_VALUE;
  if (m_failed) return false;
  const std::string path = NextSegmentPath();
  if (path.empty()) {
    MarkFailed("no name for the next segment");
    return false;
  }
  m_path = path;
  if (CreateOutput() != 0) {
    MarkFailed("the next segment could not be created");
    return false;
  }
  AddOutputFile(m_path);
  LOG(INFO) << "new segment " << m_path;
  WriteHeldAudio();
  return true;
}
