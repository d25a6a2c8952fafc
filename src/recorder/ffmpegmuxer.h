#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/backend.h"
#include "recorder/recorderror.h"
#include "recorder/video/videoencoderinterface.h"

class AacEncoder;
class AudioCapturer;
class AudioMixer;
class Mp4Finalizer;
class SwsHelper;
class VideoEncoderInterface;
class WatermarkMaker;
class WindowCapturerInterface;
class filter_aresample;

// What the recorder asks of the file writer.
struct MuxParams {
  int32_t fps = 0;
  int32_t reserved0 = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t qp = 0;
  int32_t reserved1 = 0;
  int32_t channels = 0;
  int32_t sampleRate = 0;
  int32_t sampleFormat = -1;  // AVSampleFormat
  int32_t audioBitRate = 0;   // bit/s
  std::string watermarkText;  // UTF-8; empty: no watermark
  int32_t segmentMode = 0;    // 0 none, 1 by duration, 2 by size
  int64_t segmentMinutes = 0;
  int64_t segmentMegabytes = 0;
};

class FileMuxer {
 public:
  // Called once, from a worker thread, when the recording cannot go on:
  // kRecordCaptureLost when the capture source failed, kRecordEncodeFailed
  // when an encoder failed, kRecordFailed when the file cannot be written
  // (write error, failed segment switch).
  using FailureCallback = std::function<void(RecordError)>;

  virtual ~FileMuxer() = default;
  // 0 or -1. path is UTF-8; count is 0, 1 or 2.
  virtual int Init(const char* path, WindowCapturerInterface* capturer, AudioCapturer** sources,
                   int count, const MuxParams& params) = 0;
  virtual int Start() = 0;
  // 0, or -1 when the recording could not be written to its end.
  virtual int Stop() = 0;
  virtual int Pause() = 0;
  // 0, or -1 when not paused.
  virtual int Resume() = 0;
  virtual bool IsRunning() { return m_running; }
  virtual bool IsPaused() { return m_paused; }

  // Every file of the recording, in writing order.
  std::vector<std::string> GetOutputFiles() const;
  void SetFailureCallback(FailureCallback callback) { m_failureCallback = std::move(callback); }

  // Which source refused to start when Start failed.
  struct StartFailure {
    bool videoSource = false;
    int audioSource = -1;  // index of the audio source, -1 none
  };
  StartFailure GetStartFailure() const { return m_startFailure; }

 protected:
  void AddOutputFile(const std::string& path);
  // Removes the newest file from the list, when it is not the only one.
  bool DropNewestOutputFile();
  void ReportFailure(RecordError code);

  MuxParams m_params;
  std::atomic<bool> m_initialised{false};
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_paused{false};
  std::atomic<bool> m_resumed{false};
  std::vector<std::string> m_outputFiles;
  mutable std::mutex m_filesMutex;
  FailureCallback m_failureCallback;
  std::atomic<bool> m_failureReported{false};
  StartFailure m_startFailure;
};

// Writes H.264 and AAC into MP4 files through libavformat: drives the
// capture source and audio capturers, converts, marks and encodes, removes
// paused time and starts a new file per segment.
class FfmpegMuxer : public FileMuxer {
 public:
  FfmpegMuxer();
  ~FfmpegMuxer() override;

  int Init(const char* path, WindowCapturerInterface* capturer, AudioCapturer** sources, int count,
           const MuxParams& params) override;
  int Start() override;
  // Stops the sources, lets both encoders finish while packets are still
  // written, then completes the file.
  int Stop() override;
  int Pause() override;
  int Resume() override;

  // Packets written since Start (all files).
  int64_t VideoPacketsWritten() const { return m_videoPackets; }
  int64_t AudioPacketsWritten() const { return m_audioPackets; }
  // Key frames the writer asked of its video encoder.
  uint64_t KeyFramesRequested() const;
  // Pictures the video encoder refused because it lagged.
  uint64_t PicturesRefused() const;

  // Callbacks of the workers (public so that tests can drive them).
  void OnVideoFrame(AVFrame* frame);
  void OnAudioFrame(AVFrame* frame, int index);
  void OnFilteredAudio(AVFrame* frame, int index);
  void OnVideoPacket(AVPacket* packet);
  void OnAudioPacket(AVPacket* packet);

 private:
  struct PcmGatherer {
    std::vector<uint8_t> buffer;
    int capacity = 0;      // bytes of one encoder frame
    int frameSamples = 0;  // samples per channel of one encoder frame
    int filledSamples = 0;
    int64_t firstPts = AV_NOPTS_VALUE;  // 1/sampleRate
  };
  struct OutputStream;

  int InitVideo(WindowCapturerInterface* capturer);
  int InitAudio(AudioCapturer** sources, int count);
  int CreateOutput();
  int AddVideoStream();
  int AddAudioStream();
  int OpenOutputFile();
  void CloseOutputFile();
  void Release();
  int WriteVideoPacket(AVPacket* packet);
  int WriteAudioPacket(AVPacket* packet);
  int WriteAudioLocked(AVPacket* packet);  // under m_mutex
  void WriteHeldAudio();                   // under m_mutex, the start known
  bool SplitSegment(int64_t keyTime);
  void MarkFailed(const char* what);
  void PushGatheredBlock(PcmGatherer& gatherer);
  // Capture thread: the frame-rate slot for a picture taken at time, or -1
  // when it has none; hands the pictures whose slot is settled to the
  // encoder.
  int64_t PlaceInSlot(int64_t time);
  int64_t SlotTime(int64_t slot) const;
  void PushPending(size_t count);
  void CheckSegment(int64_t pictureTime);
  // Capture thread: keeps what changed with the source's picture; brings a
  // pooled picture up to it by converting what changed since the picture
  // the pool's buffer last held. 0 or -1.
  void NoteChanges(const AVFrame* frame);
  int ConvertChanges(const AVFrame* frame, AVFrame* picture);
  // The buffer's picture is no longer known: converted whole when reused.
  void ForgetBuffer(const uint8_t* buffer);
  void HoldLastPictureToStop();
  // After each write: a fragment that went into the file is flushed and
  // counts as complete.
  void NoteCompleteFragment();
  std::string NextSegmentPath();

  std::unique_ptr<OutputStream> m_video;
  std::unique_ptr<OutputStream> m_audio;
  const AVOutputFormat* m_format = nullptr;
  AVFormatContext* m_context = nullptr;
  int64_t m_startTime = 0;  // µs, capture clock less the paused time: the current file's 0
  int64_t m_recordStart = 0;  // the first file's m_startTime, fixed while running
  std::mutex m_mutex;
  int64_t m_pauseStart = 0;
  std::atomic<int64_t> m_pausedTotal{0};
  int64_t m_segmentDurationLimit = 0;
  int64_t m_segmentSizeLimit = 0;
  bool m_videoInFile = false;  // a video packet is in the current file
  std::string m_path;
  std::string m_folder;  // UTF-8; where the segments go: the first file's folder
  int64_t m_lastVideoDts = AV_NOPTS_VALUE;
  int64_t m_lastAudioDts = AV_NOPTS_VALUE;
  int64_t m_lastAudioEnd = AV_NOPTS_VALUE;  // µs like m_startTime: where the written sound ends

  // Each pause on the capture clock, [start, end); the end is the largest
  // time while paused. Under m_mutex.
  std::vector<std::pair<int64_t, int64_t>> m_pauses;
  // Frames captured before the last Resume belong to the pause.
  std::atomic<int64_t> m_resumeTime{0};
  // Capture thread until the capturer has stopped: the frame-rate grid
  // (slot 0 is the file's start, slot n lies n - 1 intervals after the first
  // change), the last slot given to the encoder, the placed pictures not
  // given yet (at most two: the newest slot's, and a picture placed one slot
  // later that may still give way), and the newest picture taken (a
  // reference), which Stop holds on the screen up to the stop.
  int64_t m_gridStart = AV_NOPTS_VALUE;
  bool m_gridSet = false;
  int64_t m_lastSlot = -1;
  struct PendingPicture {
    AVFramePtr picture;
    int64_t slot = 0;
    int64_t time = 0;  // taken
  };
  std::deque<PendingPicture> m_pending;
  AVFramePtr m_lastPicture;
  // Capture thread: what changed with each of the source's latest pictures
  // (numbered as they came), and which of them each buffer of the encoder's
  // pool holds converted.
  struct Changes {
    int64_t number = 0;
    bool whole = true;
    std::vector<platform::Rect> rects;
  };
  std::deque<Changes> m_changes;
  int64_t m_sourcePictures = 0;
  int m_sourceWidth = 0;
  int m_sourceHeight = 0;
  std::vector<std::pair<const uint8_t*, int64_t>> m_bufferHolds;
  // Segments. The capture thread decides, as it hands a picture to the
  // encoder, that the file ends with it: the next picture is asked to be a
  // key frame and m_splitAfter set to the last picture's time; the encoder
  // thread starts the new file with that key frame and clears it.
  int64_t m_segmentStart = 0;         // capture thread: the segment's first picture
  bool m_segmentStartNext = false;    // capture thread: the next picture begins a segment
  std::atomic<int64_t> m_splitAfter{AV_NOPTS_VALUE};
  // The time of the key frame that begins the next file, from when the
  // capture thread hands it on until the split: sound from then on waits
  // for the new file (under m_mutex, and not much longer than a couple of
  // seconds), so that each file's sound ends where its pictures do.
  std::atomic<int64_t> m_splitAt{AV_NOPTS_VALUE};
  struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
  };
  std::deque<std::unique_ptr<AVPacket, PacketFree>> m_heldAudio;
  std::atomic<int64_t> m_fileBytes{0};        // handed to the current file
  std::atomic<int64_t> m_bytesPerPicture{0};  // of the file, per video packet
  int64_t m_bytesAtLastPicture = 0;           // under m_mutex
  std::atomic<int64_t> m_picturesPushed{0};
  std::atomic<int64_t> m_picturesEncoded{0};  // video packets out of the encoder
  // Under m_mutex: the end of the file's last fragment known to be written
  // whole, and the write position last seen. A file that cannot be written
  // on is cut back to that end.
  int64_t m_completeBytes = 0;
  int64_t m_writtenBytes = 0;
  // Packets are written from Start until the end of Stop's draining.
  std::atomic<bool> m_accepting{false};
  bool m_stopping = false;     // under m_mutex
  bool m_failed = false;       // under m_mutex: nothing more goes into the file
  bool m_fileOpen = false;     // under m_mutex
  // Makes the open file an ordinary MP4 once it is complete.
  std::unique_ptr<Mp4Finalizer> m_finalizer;  // under m_mutex
  bool m_everStarted = false;  // a header-only file of a writer never started is removed
  AVRational m_audioFilterTimeBase{1, 1000000};
  AVFramePtr m_pcmHeader;
  bool m_soundStarted = false;  // filter thread: the first block is placed
  std::atomic<int64_t> m_videoPackets{0};
  std::atomic<int64_t> m_audioPackets{0};
};
