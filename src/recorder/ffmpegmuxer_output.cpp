#include "recorder/ffmpegmuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

#include <glog/logging.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "recorder/ffmpegmuxer_private.h"
#include "recorder/mp4finalizer.h"
#include "recorder/video/videoencoderinterface.h"
#include "recorder/videocapture/windowcapturerinterface.h"
#include "utils.h"

// The writer's files: each one opened, written packet by packet, ended where
// the next segment begins, and finished.

namespace {

// Fragments of one second: a file cut short (full disk, crash) stays
// playable up to its last complete fragment. A complete file is then made an
// ordinary MP4 in place (Mp4Finalizer).
constexpr const char* kMovFlags = "empty_moov+default_base_moof";
constexpr const char* kFragmentDuration = "1000000";
// The segment clock of a file's first picture.
constexpr int64_t kFirstPictureElapsed = 16666;
// Sound held for the next file while its key frame is awaited, at most (µs).
constexpr int64_t kHeldSoundLimit = 2000000;

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

}  // namespace

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
