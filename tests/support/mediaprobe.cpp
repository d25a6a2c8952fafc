#include "support/mediaprobe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <fstream>
#include <memory>

namespace testsupport {

const StreamProbe* MediaProbe::Video() const {
  for (const auto& s : streams)
    if (s.video) return &s;
  return nullptr;
}

const StreamProbe* MediaProbe::Audio() const {
  for (const auto& s : streams)
    if (!s.video && s.codec == "aac") return &s;
  return nullptr;
}

namespace {

struct Decoder {
  AVCodecContext* context = nullptr;
  int64_t lastDts = INT64_MIN;
  double sumSquares = 0.0;
  int64_t samples = 0;
  ~Decoder() { avcodec_free_context(&context); }
};

// The boxes in [begin, end) of an MP4 body: type and body range.
struct Mp4Box {
  std::string type;
  size_t body;
  size_t end;
};

uint64_t BigEndian(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

std::vector<Mp4Box> Mp4Boxes(const std::vector<uint8_t>& data, size_t begin, size_t end) {
  std::vector<Mp4Box> boxes;
  while (end - begin >= 8) {
    uint64_t size = BigEndian(&data[begin], 4);
    size_t header = 8;
    if (size == 1 && end - begin >= 16) {
      size = BigEndian(&data[begin + 8], 8);
      header = 16;
    }
    if (size < header || size > end - begin) break;
    boxes.push_back({std::string(reinterpret_cast<const char*>(&data[begin + 4]), 4), begin + header,
                     begin + size});
    begin += size;
  }
  return boxes;
}

const Mp4Box* FindBox(const std::vector<Mp4Box>& boxes, const char* type) {
  for (const Mp4Box& b : boxes)
    if (b.type == type) return &b;
  return nullptr;
}

}  // namespace

bool IsOrdinaryMp4(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  int moovs = 0;
  std::vector<uint8_t> moov;
  uint8_t header[16];
  for (uint64_t offset = 0; in.seekg(offset) && in.read(reinterpret_cast<char*>(header), 8);) {
    uint64_t size = BigEndian(header, 4);
    const std::string type(reinterpret_cast<const char*>(header + 4), 4);
    if (size == 1) {
      if (!in.read(reinterpret_cast<char*>(header + 8), 8)) return false;
      size = BigEndian(header + 8, 8);
    }
    if (size < 8) return false;
    if (type == "moof") return false;
    if (type == "moov") {
      ++moovs;
      moov.resize(size);
      if (!in.seekg(offset) || !in.read(reinterpret_cast<char*>(moov.data()), size)) return false;
    }
    offset += size;
  }
  if (moovs != 1) return false;
  const std::vector<Mp4Box> top = Mp4Boxes(moov, BigEndian(moov.data(), 4) == 1 ? 16 : 8, moov.size());
  if (FindBox(top, "mvex")) return false;
  for (const Mp4Box& trak : top) {
    if (trak.type != "trak") continue;
    const Mp4Box* mdia = FindBox(Mp4Boxes(moov, trak.body, trak.end), "mdia");
    if (!mdia) return false;
    const std::vector<Mp4Box> media = Mp4Boxes(moov, mdia->body, mdia->end);
    const Mp4Box* hdlr = FindBox(media, "hdlr");
    const Mp4Box* minf = FindBox(media, "minf");
    if (!hdlr || !minf || hdlr->end - hdlr->body < 12) return false;
    if (std::string(reinterpret_cast<const char*>(&moov[hdlr->body + 8]), 4) != "vide") continue;
    const Mp4Box* stbl = FindBox(Mp4Boxes(moov, minf->body, minf->end), "stbl");
    if (!stbl || !FindBox(Mp4Boxes(moov, stbl->body, stbl->end), "stss")) return false;
  }
  return true;
}

double StreamProbe::MinPtsStep() const {
  double step = 1e9;
  for (size_t i = 1; i < packetPts.size(); ++i)
    step = std::min(step, (packetPts[i] - packetPts[i - 1]) * timeBase);
  return step;
}

MediaProbe ProbeMedia(const std::string& path, const PictureVisitor& visitor) {
  MediaProbe probe;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return probe;
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> owner(
      format, [](AVFormatContext* f) { avformat_close_input(&f); });
  if (avformat_find_stream_info(format, nullptr) < 0) return probe;
  probe.opened = true;
  probe.ordinary = IsOrdinaryMp4(path);
  probe.duration = format->duration > 0 ? format->duration / double(AV_TIME_BASE) : 0.0;

  std::vector<Decoder> decoders(format->nb_streams);
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    AVStream* st = format->streams[i];
    StreamProbe s;
    s.codec = avcodec_get_name(st->codecpar->codec_id);
    s.video = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    s.timeBase = av_q2d(st->time_base);
    s.width = st->codecpar->width;
    s.height = st->codecpar->height;
    s.channels = st->codecpar->ch_layout.nb_channels;
    s.sampleRate = st->codecpar->sample_rate;
    probe.streams.push_back(s);
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) continue;
    decoders[i].context = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoders[i].context, st->codecpar);
    decoders[i].context->pkt_timebase = st->time_base;
    if (avcodec_open2(decoders[i].context, codec, nullptr) < 0) avcodec_free_context(&decoders[i].context);
  }

  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwsContext* sws = nullptr;
  std::vector<uint8_t> bgra;
  auto receive = [&](unsigned index) {
    Decoder& d = decoders[index];
    StreamProbe& s = probe.streams[index];
    AVStream* st = format->streams[index];
    while (avcodec_receive_frame(d.context, frame) == 0) {
      ++s.decodedFrames;
      if (s.video && visitor) {
        sws = sws_getCachedContext(sws, frame->width, frame->height,
                                   static_cast<AVPixelFormat>(frame->format), frame->width,
                                   frame->height, AV_PIX_FMT_BGRA,
                                   // Not the fast converter: it leaves the last
                                   // pixels of a row whose width is no multiple
                                   // of 8 unwritten.
                                   SWS_POINT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
        // Converters write whole blocks of pixels: a row whose width is no
        // multiple of the block runs past its end, so the last one needs room.
        bgra.resize(size_t(frame->width) * (frame->height + 1) * 4 + 256);
        uint8_t* dst[4] = {bgra.data(), nullptr, nullptr, nullptr};
        int lines[4] = {frame->width * 4, 0, 0, 0};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, lines);
        const int64_t ts = frame->best_effort_timestamp;
        visitor(bgra.data(), frame->width, frame->height,
                ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(st->time_base));
      } else if (!s.video && frame->format == AV_SAMPLE_FMT_FLTP) {
        const float* first = reinterpret_cast<const float*>(frame->extended_data[0]);
        if (s.sound.empty() && frame->best_effort_timestamp != AV_NOPTS_VALUE)
          s.soundStart = frame->best_effort_timestamp * av_q2d(st->time_base);
        s.sound.insert(s.sound.end(), first, first + frame->nb_samples);
        for (int c = 0; c < frame->ch_layout.nb_channels; ++c) {
          const float* p = reinterpret_cast<const float*>(frame->extended_data[c]);
          for (int i = 0; i < frame->nb_samples; ++i) d.sumSquares += double(p[i]) * p[i];
          d.samples += frame->nb_samples;
        }
      }
      av_frame_unref(frame);
    }
  };
  bool first[64];
  for (bool& f : first) f = true;
  while (av_read_frame(format, packet) >= 0) {
    const unsigned index = static_cast<unsigned>(packet->stream_index);
    if (index < probe.streams.size()) {
      StreamProbe& s = probe.streams[index];
      Decoder& d = decoders[index];
      AVStream* st = format->streams[index];
      ++s.packets;
      if (packet->flags & AV_PKT_FLAG_KEY) ++s.keyPackets;
      if (packet->dts != AV_NOPTS_VALUE) {
        if (d.lastDts != INT64_MIN && packet->dts <= d.lastDts) s.dtsIncreasing = false;
        d.lastDts = packet->dts;
      }
      if (packet->pts != AV_NOPTS_VALUE) {
        s.packetPts.push_back(packet->pts);
        const double t = packet->pts * av_q2d(st->time_base);
        if (index < 64 && first[index]) {
          s.firstPts = t;
          first[index] = false;
        }
        s.lastPts = std::max(s.lastPts, t);
      }
      if (d.context) {
        if (avcodec_send_packet(d.context, packet) < 0) ++probe.decodeErrors;
        receive(index);
      }
    }
    av_packet_unref(packet);
  }
  for (unsigned i = 0; i < decoders.size(); ++i) {
    if (!decoders[i].context) continue;
    avcodec_send_packet(decoders[i].context, nullptr);
    receive(i);
    if (decoders[i].samples > 0)
      probe.streams[i].audioRms = std::sqrt(decoders[i].sumSquares / decoders[i].samples);
  }
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&packet);
  return probe;
}

}  // namespace testsupport
