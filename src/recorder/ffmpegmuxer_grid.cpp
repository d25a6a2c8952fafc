#include "recorder/ffmpegmuxer.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/time.h>
}

#include <algorithm>

#include "recorder/ffmpegmuxer_private.h"
#include "recorder/video/videoencoderinterface.h"
#include "recorder/videocapture/windowcapturerinterface.h"

// The writer's frame-rate grid: the slot of each picture, and the last
// picture held up to the stop.

namespace {

// A picture whose slot is taken may go into the next one when that shows it
// at most this many intervals late, so that pictures that come at the frame
// rate, however unevenly (a 60 Hz screen presents 25 fps as 33 and 50 ms
// steps), all reach the file.
constexpr int64_t kCarryQuarters = 3;
// Changes kept: a pooled buffer that has not been used for longer is
// converted whole.
constexpr size_t kChangesKept = 32;
// Changes are converted in tiles of this many pixels a side, each once
// however many changes touch it.
constexpr int kTile = 32;

// The tiles of a width x height picture that rects touch, as runs of tiles
// along each row of tiles.
std::vector<platform::Rect> Tiles(const std::vector<platform::Rect>& rects, int width,
                                  int height) {
  const int columns = (width + kTile - 1) / kTile;
  const int rows = (height + kTile - 1) / kTile;
  std::vector<uint8_t> touched(size_t(columns) * rows, 0);
  for (const platform::Rect& r : rects) {
    const int left = std::max(r.left, 0) / kTile;
    const int top = std::max(r.top, 0) / kTile;
    const int right = std::min((std::min(r.right, width) + kTile - 1) / kTile, columns);
    const int bottom = std::min((std::min(r.bottom, height) + kTile - 1) / kTile, rows);
    for (int y = top; y < bottom; ++y)
      std::fill_n(touched.begin() + size_t(y) * columns + left, std::max(right - left, 0), 1);
  }
  std::vector<platform::Rect> runs;
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < columns;) {
      if (!touched[size_t(y) * columns + x]) {
        ++x;
        continue;
      }
      const int start = x;
      while (x < columns && touched[size_t(y) * columns + x]) ++x;
      runs.push_back(platform::Rect{start * kTile, y * kTile, std::min(x * kTile, width),
                                    std::min((y + 1) * kTile, height)});
    }
  return runs;
}

}  // namespace

void FfmpegMuxer::OnVideoFrame(AVFrame* frame) {
  // Every picture's changes count, also those of pictures not kept.
  if (frame && m_video && m_video->capturer) NoteChanges(frame);
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
  if (!picture || ConvertChanges(frame, picture.get()) != 0) return;
  picture->pts = picture->pkt_dts = pts;
  picture->pict_type = AV_PICTURE_TYPE_NONE;
  if (m_video->watermark) {
    AVFrame* marked = nullptr;
    if (m_video->watermark->Process(picture.get(), &marked)) {
      marked->pts = marked->pkt_dts = pts;
      marked->pict_type = AV_PICTURE_TYPE_NONE;
      picture.reset(marked);
    } else {
      // The graph may have marked the pooled picture itself: converted
      // whole next time.
      ForgetBuffer(picture->buf[0] ? picture->buf[0]->data : nullptr);
    }
  }
  m_lastPicture.reset(av_frame_clone(picture.get()));
  m_pending.push_back(PendingPicture{std::move(picture), slot, taken});
}

void FfmpegMuxer::NoteChanges(const AVFrame* frame) {
  const std::vector<platform::Rect>* rects = m_video->capturer->FrameChanges();
  Changes changes;
  changes.number = ++m_sourcePictures;
  changes.whole = !rects || frame->width != m_sourceWidth || frame->height != m_sourceHeight;
  if (!changes.whole) changes.rects = *rects;
  m_sourceWidth = frame->width;
  m_sourceHeight = frame->height;
  m_changes.push_back(std::move(changes));
  if (m_changes.size() > kChangesKept) m_changes.pop_front();
}

void FfmpegMuxer::ForgetBuffer(const uint8_t* buffer) {
  for (auto& hold : m_bufferHolds)
    if (hold.first == buffer) hold.second = -1;
}

int FfmpegMuxer::ConvertChanges(const AVFrame* frame, AVFrame* picture) {
  const uint8_t* buffer = picture->buf[0] ? picture->buf[0]->data : nullptr;
  auto hold = std::find_if(m_bufferHolds.begin(), m_bufferHolds.end(),
                           [&](const auto& h) { return h.first == buffer; });
  // What changed since the picture the buffer holds, when every change since
  // is known.
  bool parts = buffer && hold != m_bufferHolds.end() && !m_changes.empty() &&
               m_changes.front().number <= hold->second + 1 &&
               m_video->sws->ConvertsParts(frame);
  std::vector<platform::Rect> rects;
  for (size_t i = 0; parts && i < m_changes.size(); ++i) {
    const Changes& changes = m_changes[i];
    if (changes.number <= hold->second) continue;
    parts = !changes.whole;
    rects.insert(rects.end(), changes.rects.begin(), changes.rects.end());
  }
  const int ret = parts ? m_video->sws->ConvertParts(
                              frame, picture, Tiles(rects, frame->width, frame->height))
                        : m_video->sws->ConvertInto(frame, picture);
  if (hold == m_bufferHolds.end() && buffer) {
    m_bufferHolds.emplace_back(buffer, 0);
    hold = m_bufferHolds.end() - 1;
  }
  // A failed conversion leaves the buffer unknown.
  if (hold != m_bufferHolds.end()) hold->second = ret == 0 ? m_sourcePictures : -1;
  return ret;
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
