#include "platform/linux/pipewire_stream.h"

#include <glog/logging.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace platform::native {

namespace {

constexpr int kMaxCursorSide = 256;
// Changed parts a picture may name, and those kept between two loans.
constexpr int kDamageRegions = 16;
constexpr size_t kDamageKept = 256;

constexpr size_t CursorMetaSize(int width, int height) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + size_t(width) * height * 4;
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Byte places of blue, green, red and alpha in a pixel of format; false for
// a format we do not take.
bool ChannelOrder(uint32_t format, int order[4]) {
  auto set = [order](int b, int g, int r, int a) {
    order[0] = b, order[1] = g, order[2] = r, order[3] = a;
    return true;
  };
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA: return set(0, 1, 2, 3);
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA: return set(2, 1, 0, 3);
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB: return set(3, 2, 1, 0);
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR: return set(1, 2, 3, 0);
    default: return false;
  }
}

void StateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  static_cast<PipeWireVideoStream*>(data)->OnStateChanged(state, error);
}
void ParamChanged(void* data, uint32_t id, const spa_pod* param) {
  static_cast<PipeWireVideoStream*>(data)->OnParamChanged(id, param);
}
void Process(void* data) { static_cast<PipeWireVideoStream*>(data)->OnProcess(); }
void RemoveBuffer(void* data, pw_buffer* buffer) {
  static_cast<PipeWireVideoStream*>(data)->OnRemoveBuffer(buffer);
}
void GlobalRemoved(void* data, uint32_t id) {
  static_cast<PipeWireVideoStream*>(data)->OnGlobalRemoved(id);
}
void CoreError(void* data, uint32_t id, int, int res, const char* message) {
  static_cast<PipeWireVideoStream*>(data)->OnCoreError(id, res, message);
}

pw_stream_events StreamEvents() {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = StateChanged;
  events.param_changed = ParamChanged;
  events.process = Process;
  events.remove_buffer = RemoveBuffer;
  return events;
}

pw_registry_events RegistryEvents() {
  pw_registry_events events{};
  events.version = PW_VERSION_REGISTRY_EVENTS;
  events.global_remove = GlobalRemoved;
  return events;
}

pw_core_events CoreEvents() {
  pw_core_events events{};
  events.version = PW_VERSION_CORE_EVENTS;
  events.error = CoreError;
  return events;
}

const pw_stream_events kStreamEvents = StreamEvents();
const pw_registry_events kRegistryEvents = RegistryEvents();
const pw_core_events kCoreEvents = CoreEvents();

}  // namespace

struct PipeWireVideoStream::Hooks {
  spa_hook stream{};
  spa_hook core{};
  spa_hook registry{};
  pw_registry* registryProxy = nullptr;
};

bool ReadCursorMeta(const void* meta, uint32_t size, CastPointer* pointer, bool* shapeChanged) {
  *shapeChanged = false;
  const auto* cursor = static_cast<const spa_meta_cursor*>(meta);
  if (!meta || size < sizeof(spa_meta_cursor) || !spa_meta_cursor_is_valid(cursor)) return false;
  bool changed = !pointer->visible || pointer->x != cursor->position.x ||
                 pointer->y != cursor->position.y;
  pointer->visible = true;
  pointer->x = cursor->position.x;
  pointer->y = cursor->position.y;
  const uint32_t at = cursor->bitmap_offset;
  if (at < sizeof(spa_meta_cursor) || size_t(at) + sizeof(spa_meta_bitmap) > size) return changed;
  const auto* bitmap =
      reinterpret_cast<const spa_meta_bitmap*>(static_cast<const uint8_t*>(meta) + at);
  if (bitmap->format == SPA_VIDEO_FORMAT_UNKNOWN) return changed;  // the image stays
  *shapeChanged = true;
  pointer->hotX = cursor->hotspot.x;
  pointer->hotY = cursor->hotspot.y;
  pointer->width = pointer->height = 0;
  pointer->pixels.clear();
  const int w = int(bitmap->size.width), h = int(bitmap->size.height);
  int order[4];
  if (bitmap->offset < sizeof(spa_meta_bitmap) || w <= 0 || h <= 0 || w > kMaxCursorSide ||
      h > kMaxCursorSide || bitmap->stride < w * 4 || !ChannelOrder(bitmap->format, order) ||
      size_t(at) + bitmap->offset + size_t(bitmap->stride) * h > size)
    return true;  // an empty image: nothing to draw
  const uint8_t* rows = reinterpret_cast<const uint8_t*>(bitmap) + bitmap->offset;
  const bool opaque = bitmap->format == SPA_VIDEO_FORMAT_BGRx ||
                      bitmap->format == SPA_VIDEO_FORMAT_RGBx ||
                      bitmap->format == SPA_VIDEO_FORMAT_xRGB ||
                      bitmap->format == SPA_VIDEO_FORMAT_xBGR;
  pointer->width = w;
  pointer->height = h;
  pointer->pixels.resize(size_t(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const uint8_t* p = rows + size_t(y) * bitmap->stride + size_t(x) * 4;
      const uint32_t a = opaque ? 255 : p[order[3]];
      // Straight alpha in the metadata; the drawing blends premultiplied.
      const uint32_t b = p[order[0]] * a / 255, g = p[order[1]] * a / 255,
                     r = p[order[2]] * a / 255;
      pointer->pixels[size_t(y) * w + x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
  }
  return true;
}

PipeWireVideoStream::PipeWireVideoStream() = default;
PipeWireVideoStream::~PipeWireVideoStream() { Stop(); }

bool PipeWireVideoStream::Start(int fd, uint32_t nodeId, int timeoutMs) {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
  m_nodeId = nodeId;
  m_hooks = std::make_unique<Hooks>();
  m_loop = pw_thread_loop_new("korvorec-cast", nullptr);
  if (!m_loop) {
    close(fd);
    return false;
  }
  m_context = pw_context_new(pw_thread_loop_get_loop(m_loop), nullptr, 0);
  if (!m_context || pw_thread_loop_start(m_loop) < 0) {
    close(fd);
    LOG(ERROR) << "cannot start a PipeWire loop";
    return false;
  }
  pw_thread_loop_lock(m_loop);
  m_core = pw_context_connect_fd(m_context, fd, nullptr, 0);  // owns fd from here
  bool connected = false;
  if (!m_core) {
    LOG(ERROR) << "cannot connect to the screen cast's PipeWire remote";
  } else {
    pw_core_add_listener(m_core, &m_hooks->core, &kCoreEvents, this);
    m_hooks->registryProxy = pw_core_get_registry(m_core, PW_VERSION_REGISTRY, 0);
    if (m_hooks->registryProxy)
      pw_registry_add_listener(m_hooks->registryProxy, &m_hooks->registry, &kRegistryEvents,
                               this);
    m_stream = pw_stream_new(
        m_core, "korvorec",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_MEDIA_ROLE, "Screen", PW_KEY_NODE_DONT_RECONNECT, "true",
                          nullptr));
  }
  if (m_stream) {
    pw_stream_add_listener(m_stream, &m_hooks->stream, &kStreamEvents, this);
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_rectangle defSize{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
    const spa_fraction defRate{0, 1}, minRate{0, 1}, maxRate{1000, 1};
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(9, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA,
                               SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR,
                               SPA_VIDEO_FORMAT_ABGR),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
    const int r = pw_stream_connect(
        m_stream, PW_DIRECTION_INPUT, nodeId,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    if (r < 0)
      LOG(ERROR) << "cannot connect to the screen cast's node " << nodeId << ": " << strerror(-r);
    else
      connected = true;
  }
  pw_thread_loop_unlock(m_loop);
  if (!connected) return false;
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [this] { return m_negotiated || m_ended; });
  if (!m_negotiated) LOG(ERROR) << "the screen cast's node " << nodeId << " agreed no format";
  return m_negotiated && !m_ended;
}

void PipeWireVideoStream::Stop() {
  if (m_loop) {
    pw_thread_loop_lock(m_loop);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_held = nullptr;  // goes with the stream
      m_lent = nullptr;
      m_returned.clear();
    }
    if (m_stream) pw_stream_destroy(m_stream);
    m_stream = nullptr;
    if (m_hooks && m_hooks->registryProxy) {
      spa_hook_remove(&m_hooks->registry);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m_hooks->registryProxy));
      m_hooks->registryProxy = nullptr;
    }
    if (m_core) pw_core_disconnect(m_core);
    m_core = nullptr;
    pw_thread_loop_unlock(m_loop);
    pw_thread_loop_stop(m_loop);
  }
  if (m_context) pw_context_destroy(m_context);
  m_context = nullptr;
  if (m_loop) pw_thread_loop_destroy(m_loop);
  m_loop = nullptr;
}

bool PipeWireVideoStream::Wait(int timeoutMs, CastPointer* pointer, Update* update,
                               int64_t* arrival) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [this] { return m_newPicture || m_pointerChanged || m_ended; });
  *update = Update{};
  if (m_newPicture && m_held) {
    update->picture = true;
    update->width = m_width;
    update->height = m_height;
    *arrival = m_arrival;
  }
  m_newPicture = false;
  if (m_pointerChanged) {
    *pointer = m_pointer;
    update->pointer = true;
    update->shape = m_shapeChanged;
    m_pointerChanged = m_shapeChanged = false;
  }
  return update->picture || update->pointer;
}

int PipeWireVideoStream::Width() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_width;
}

int PipeWireVideoStream::Height() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_height;
}

bool PipeWireVideoStream::Lend(const uint8_t** data, int* stride, bool* bgrx, int* width,
                               int* height, std::vector<Rect>* changes, bool* changesKnown) {
  std::lock_guard<std::mutex> lock(m_mutex);
  EndLoanLocked();
  size_t rowStride = 0;
  const uint8_t* rows = m_held ? Rows(m_held, m_width, m_height, &rowStride) : nullptr;
  if (!rows) return false;
  // The changes go with the picture they lead to, also when a newer one came
  // after the caller was woken.
  *changesKnown = m_damageKnown;
  changes->insert(changes->end(), m_damage.begin(), m_damage.end());
  m_damage.clear();
  m_damageKnown = true;
  m_lent = m_held;
  m_lentWidth = *width = m_width;
  m_lentHeight = *height = m_height;
  m_lentFormat = m_format;
  *data = rows;
  *stride = int(rowStride);
  int order[4];
  ChannelOrder(m_format, order);
  *bgrx = order[0] == 0 && order[1] == 1 && order[2] == 2;
  return true;
}

void PipeWireVideoStream::EndLoan() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndLoanLocked();
    if (m_returned.empty() || !m_loop) return;
  }
  // Given back now rather than at the next picture: a node with few
  // buffers may have none left to send one with.
  pw_thread_loop_lock(m_loop);
  std::vector<void*> returned;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    returned.swap(m_returned);
  }
  if (m_stream)
    for (void* b : returned) pw_stream_queue_buffer(m_stream, static_cast<pw_buffer*>(b));
  pw_thread_loop_unlock(m_loop);
}

void PipeWireVideoStream::EndLoanLocked() {
  if (m_lent && m_lent != m_held) m_returned.push_back(m_lent);
  m_lent = nullptr;
  m_changed.notify_all();
}

bool PipeWireVideoStream::CopyLent(std::vector<uint8_t>* image) {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t stride = 0;
  const int width = m_lentWidth;
  const int height = m_lentHeight;
  const uint8_t* src = m_lent ? Rows(m_lent, width, height, &stride) : nullptr;
  if (!src) return false;
  const size_t rowBytes = size_t(width) * 4;
  image->resize(rowBytes * height);
  int order[4];
  ChannelOrder(m_lentFormat, order);
  if (order[0] == 0 && order[1] == 1 && order[2] == 2) {
    if (stride == rowBytes) {
      std::memcpy(image->data(), src, rowBytes * height);
    } else {
      for (int y = 0; y < height; ++y)
        std::memcpy(image->data() + rowBytes * y, src + stride * y, rowBytes);
    }
    return true;
  }
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = src + stride * y;
    uint8_t* out = image->data() + rowBytes * y;
    for (int x = 0; x < width; ++x, in += 4, out += 4) {
      out[0] = in[order[0]];
      out[1] = in[order[1]];
      out[2] = in[order[2]];
      out[3] = in[order[3]];
    }
  }
  return true;
}

bool PipeWireVideoStream::Ended() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_ended;
}

void PipeWireVideoStream::OnStateChanged(int state, const char* error) {
  LOG(INFO) << "screen cast stream: " << pw_stream_state_as_string(pw_stream_state(state))
            << (error ? std::string(" ") + error : std::string());
  if (state != PW_STREAM_STATE_ERROR && state != PW_STREAM_STATE_UNCONNECTED) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_ended = true;
  m_changed.notify_all();
}

void PipeWireVideoStream::OnGlobalRemoved(uint32_t id) {
  if (id != m_nodeId) return;
  LOG(WARNING) << "the screen cast's node " << id << " went away";
  std::lock_guard<std::mutex> lock(m_mutex);
  m_ended = true;
  m_changed.notify_all();
}

void PipeWireVideoStream::OnCoreError(uint32_t id, int res, const char* message) {
  LOG(ERROR) << "PipeWire error on " << id << ": " << (message ? message : "") << " ("
             << strerror(-res) << ")";
  if (id != PW_ID_CORE) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_ended = true;
  m_changed.notify_all();
}

void PipeWireVideoStream::OnParamChanged(uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_Format || !param) return;
  uint32_t mediaType = 0, mediaSubtype = 0;
  spa_video_info_raw info{};
  int order[4];
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
      spa_format_video_raw_parse(param, &info) < 0 || !ChannelOrder(info.format, order) ||
      info.size.width == 0 || info.size.height == 0) {
    LOG(ERROR) << "the screen cast offers no picture format we take";
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_width = int(info.size.width);
    m_height = int(info.size.height);
    m_format = info.format;
    m_damageKnown = false;
  }
  LOG(INFO) << "screen cast format " << m_width << "x" << m_height << " ("
            << info.format << ")";
  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const spa_pod* params[4];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(int(CursorMetaSize(64, 64)), int(CursorMetaSize(1, 1)),
                               int(CursorMetaSize(kMaxCursorSide, kMaxCursorSide)))));
  // Where the desktop says what changed, only that is converted.
  params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(int(sizeof(spa_meta_region) * kDamageRegions),
                               int(sizeof(spa_meta_region)),
                               int(sizeof(spa_meta_region) * kDamageRegions))));
  pw_stream_update_params(m_stream, params, 4);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_negotiated = true;
  m_changed.notify_all();
}

void PipeWireVideoStream::OnRemoveBuffer(void* buffer) {
  std::unique_lock<std::mutex> lock(m_mutex);
  // A picture being read stays mapped until its reader is done with it.
  if (!m_changed.wait_for(lock, std::chrono::seconds(1), [&] { return m_lent != buffer; }))
    LOG(ERROR) << "a lent screen cast buffer is taken back";
  if (m_lent == buffer) m_lent = nullptr;
  m_returned.erase(std::remove(m_returned.begin(), m_returned.end(), buffer), m_returned.end());
  if (m_held == buffer) {
    m_held = nullptr;
    m_newPicture = false;
  }
}

void PipeWireVideoStream::OnProcess() {
  // Everything queued is read for the pointer; the newest picture is held.
  pw_buffer* buffers[16];
  int count = 0;
  while (count < 16) {
    pw_buffer* b = pw_stream_dequeue_buffer(m_stream);
    if (!b) break;
    buffers[count++] = b;
  }
  std::vector<void*> returned;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    returned.swap(m_returned);
  }
  for (void* b : returned) pw_stream_queue_buffer(m_stream, static_cast<pw_buffer*>(b));
  if (count == 0) return;
  pw_buffer* released = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    int newest = -1;
    for (int i = 0; i < count; ++i) {
      spa_buffer* buffer = buffers[i]->buffer;
      if (auto* meta = static_cast<spa_meta*>(spa_buffer_find_meta(buffer, SPA_META_Cursor))) {
        bool shape = false;
        if (ReadCursorMeta(meta->data, meta->size, &m_pointer, &shape)) {
          m_pointerChanged = true;
          m_shapeChanged = m_shapeChanged || shape;
        }
      }
      const spa_data& d = buffer->datas[0];
      if (buffer->n_datas > 0 && d.data && d.chunk && d.chunk->size > 0 &&
          !(d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) {
        newest = i;
        NoteDamage(buffer);
      }
    }
    if (newest >= 0) {
      // A lent picture goes back once its loan ends.
      if (m_held != m_lent) released = static_cast<pw_buffer*>(m_held);
      m_held = buffers[newest];
      m_newPicture = true;
      m_arrival = NowUs();
      buffers[newest] = nullptr;
    }
    if (m_newPicture || m_pointerChanged) m_changed.notify_all();
  }
  if (released) pw_stream_queue_buffer(m_stream, released);
  for (int i = 0; i < count; ++i)
    if (buffers[i]) pw_stream_queue_buffer(m_stream, buffers[i]);
}

void PipeWireVideoStream::NoteDamage(spa_buffer* buffer) {
  // Pictures the node numbered but never sent changed something unknown.
  if (const auto* header = static_cast<const spa_meta_header*>(
          spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
    if (m_lastSeq != 0 && header->seq > m_lastSeq + 1) m_damageKnown = false;
    m_lastSeq = header->seq;
  }
  const spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
  size_t marked = 0;
  if (meta && m_damageKnown) {
    const Rect picture{0, 0, m_width, m_height};
    const spa_meta_region* region;
    spa_meta_for_each(region, meta) {
      if (!spa_meta_region_is_valid(region)) break;
      ++marked;
      const spa_region& r = region->region;
      const Rect part = Rect{r.position.x, r.position.y, r.position.x + int(r.size.width),
                             r.position.y + int(r.size.height)}
                            .Intersected(picture);
      if (!part.IsEmpty()) m_damage.push_back(part);
    }
  }
  // A new picture that marks nothing, or more than is worth keeping apart,
  // counts as changed all over.
  if (!meta || marked == 0 || m_damage.size() > kDamageKept) m_damageKnown = false;
  if (!m_damageKnown) m_damage.clear();
}

const uint8_t* PipeWireVideoStream::Rows(void* buffer, int width, int height, size_t* stride) {
  const spa_data& d = static_cast<pw_buffer*>(buffer)->buffer->datas[0];
  const size_t rowBytes = size_t(width) * 4;
  *stride = d.chunk->stride > 0 ? size_t(d.chunk->stride) : rowBytes;
  const size_t offset = d.chunk->offset % std::max<uint32_t>(d.maxsize, 1);
  if (*stride < rowBytes || offset + *stride * (height - 1) + rowBytes > d.maxsize) {
    LOG(ERROR) << "a screen cast picture smaller than its format";
    return nullptr;
  }
  return static_cast<const uint8_t*>(d.data) + offset;
}

}  // namespace platform::native
