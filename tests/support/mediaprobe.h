#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// What libavformat/libavcodec read back from a recorded file.
struct StreamProbe {
  std::string codec;  // "h264", "aac", ...
  bool video = false;
  int64_t packets = 0;
  int64_t decodedFrames = 0;  // video pictures or audio frames
  int64_t keyPackets = 0;
  bool dtsIncreasing = true;  // strictly, packet after packet
  double firstPts = 0.0;      // seconds
  double lastPts = 0.0;
  double audioRms = 0.0;  // over every decoded sample
  std::vector<float> sound;  // the first channel of the decoded sound
  double soundStart = 0.0;   // seconds, the time of sound[0]
  int channels = 0;
  int sampleRate = 0;
  std::vector<int64_t> packetPts;  // in the stream's time base
  double timeBase = 0.0;           // seconds a tick of packetPts
  // Smallest step between one packet's pts and the next's, in seconds.
  double MinPtsStep() const;
  int width = 0;
  int height = 0;
};

struct MediaProbe {
  bool opened = false;
  // An ordinary MP4, as other programs expect a finished one: see IsOrdinaryMp4.
  bool ordinary = false;
  double duration = 0.0;  // seconds, the container's
  int decodeErrors = 0;
  std::vector<StreamProbe> streams;
  const StreamProbe* Video() const;
  const StreamProbe* Audio() const;
};

// A decoded picture as packed BGRA (row length width * 4) and its time in
// seconds.
using PictureVisitor = std::function<void(const uint8_t* bgra, int width, int height, double time)>;

// The file's moov carries every sample (no mvex, no moof fragments at the
// top level) and each picture track has a sync-sample table.
bool IsOrdinaryMp4(const std::string& path);

// Reads every packet, decodes every stream and hands each picture to the
// visitor (when given).
MediaProbe ProbeMedia(const std::string& path, const PictureVisitor& visitor = nullptr);

}  // namespace testsupport
