// Stop to finished file: how long the writer's stop takes, finishing the
// fragmented MP4 into an ordinary one included, for 1080p30 recordings of
// 10 s and 10 minutes. The recordings are the writer's own files, written at
// full speed from packets of the sizes a 4 Mbit/s screen recording has (a key
// picture every 2500 frames, AAC at 128 kbit/s), so that the fragment
// layout is the program's. As in a live recording, only the last 30 s are
// still unwritten to the disk at the stop: the rest is synced before.
// Beside it, the same run's full rewrite of the file by `ffmpeg -c copy`.
//
//   build/finish_bench [runs]

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/time.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "recorder/audiocapturer.h"
#include "recorder/ffmpegmuxer.h"
#include "recorder/videocapture/windowcapturerinterface.h"
#include "settings.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Sources that deliver nothing: the bench hands the writer its packets.
class SilentScreen : public WindowCapturerInterface {
 public:
  bool IsSupported(platform::MonitorId) override { return true; }
  bool Init(const CaptureParams&) override {
    m_pixelFormat = AV_PIX_FMT_BGRA;
    m_captureRect = platform::Rect{0, 0, 1920, 1080};
    return true;
  }
  int Start() override { return 0; }
  bool Stop() override { return true; }
  bool Snapshot(platform::MonitorId, uint8_t**, int*, int*) override { return false; }
};

class SilentSound : public AudioCapturer {
 public:
  SilentSound() { m_sampleFormat = AV_SAMPLE_FMT_FLT; }
  int Init(const std::string&, const std::string&, int) override { return 0; }
  int Start() override { return 0; }
  int Pause() override { return 0; }
  int Resume() override { return 0; }
  int Stop() override { return 0; }
  AVRational GetTimeBase() override { return AVRational{1, 1000000}; }
  int64_t GetStartTime() override { return 0; }
};

struct Result {
  double stopMs = 0;
  double megabytes = 0;
};

Result Record(const std::string& path, int seconds) {
  Result result;
  SilentScreen screen;
  screen.Init(CaptureParams{});
  SilentSound sound;
  AudioCapturer* sources[] = {&sound};
  MuxParams params;
  params.fps = 30;
  params.width = 1920;
  params.height = 1080;
  params.qp = 28;
  params.channels = 2;
  params.sampleRate = 48000;
  params.sampleFormat = AV_SAMPLE_FMT_FLTP;
  params.audioBitRate = 128000;
  FfmpegMuxer muxer;
  if (muxer.Init(path.c_str(), &screen, sources, 1, params) != 0 || muxer.Start() != 0) {
    fprintf(stderr, "the writer did not start\n");
    return result;
  }
  AVPacket* video = av_packet_alloc();
  AVPacket* audio = av_packet_alloc();
  const int64_t origin = av_gettime_relative();
  const int frames = seconds * 30;
  const int syncedUpTo = std::max(0, frames - 30 * 30);
  int64_t audioBlock = 0;
  for (int i = 0; i < frames; ++i) {
    const int64_t at = origin + int64_t(i) * 1000000 / 30;
    const bool key = i % 2500 == 0;
    // One NAL unit in Annex B, as the encoders hand it over.
    av_new_packet(video, key ? 150000 : 16000);
    memset(video->data, 0x55, video->size);
    const uint8_t start[] = {0, 0, 0, 1, uint8_t(key ? 0x65 : 0x41)};
    memcpy(video->data, start, sizeof start);
    video->pts = video->dts = at;
    if (key) video->flags |= AV_PKT_FLAG_KEY;
    muxer.OnVideoPacket(video);
    av_packet_unref(video);
    for (; (audioBlock * 1024) * 1000000 / 48000 <= int64_t(i) * 1000000 / 30; ++audioBlock) {
      av_new_packet(audio, 340);
      memset(audio->data, 0x55, audio->size);
      audio->pts = audio->dts = av_rescale(origin, 48000, 1000000) + audioBlock * 1024;
      audio->duration = 1024;
      audio->flags |= AV_PKT_FLAG_KEY;
      muxer.OnAudioPacket(audio);
      av_packet_unref(audio);
    }
    if (i + 1 == syncedUpTo) {
      // What the system has written back by now in a live recording.
      platform::RandomAccessFile file;
      if (!file.Open(path) || !file.Sync()) fprintf(stderr, "sync: %s\n", file.LastError().c_str());
    }
  }
  av_packet_free(&video);
  av_packet_free(&audio);
  const auto stop = Clock::now();
  muxer.Stop();
  result.stopMs = MsSince(stop);
  std::error_code ec;
  result.megabytes = std::filesystem::file_size(path, ec) / 1e6;
  return result;
}

double FullRewriteMs(const std::string& from, const std::string& to) {
  const auto start = Clock::now();
  const std::string command = "ffmpeg -loglevel error -y -i '" + from + "' -c copy '" + to + "'";
  if (std::system(command.c_str()) != 0) return -1;
  return MsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 1;
  Settings::Instance()->Init();
  const std::string folder = std::filesystem::temp_directory_path() / "finish_bench";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  printf("stop to finished file, 1080p30 with sound (the last 30 s unsynced at the stop)\n");
  for (int run = 1; run <= runs; ++run) {
    for (int seconds : {10, 600}) {
      const std::string path = folder + "/rec" + std::to_string(seconds) + ".mp4";
      const Result ours = Record(path, seconds);
      const double rewrite = FullRewriteMs(path, folder + "/copy.mp4");
      printf("%4d s, %7.1f MB | stop %6.1f ms | ffmpeg -c copy full rewrite %7.1f ms\n", seconds,
             ours.megabytes, ours.stopMs, rewrite);
      fflush(stdout);
      std::filesystem::remove(path);
      std::filesystem::remove(folder + "/copy.mp4");
    }
  }
  std::filesystem::remove_all(folder);
  return 0;
}
