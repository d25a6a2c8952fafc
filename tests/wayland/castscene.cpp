// A test picture that says what changed: a ball moving over a still
// backdrop, as a desktop would show one small thing moving. Given as a
// PipeWire video source whose buffers name the changed parts (damage
// metadata), as a compositor's screen cast does; or with --x11, drawn into a
// window covering the X display where only the changed parts are put, so
// that the X server's damage names the same parts. With --whole all of each
// picture is put or marked changed, as a video player's window is redrawn.
//
//   castscene [--size WxH] [--rate N] [--name NODE] [--x11] [--whole]

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kBall = 64;  // diameter
constexpr uint32_t kBackdrop = 0xFF406080;
constexpr uint32_t kBallColour = 0xFFF0F0F0;
constexpr int kMaxRegions = 16;

struct Box {
  int x = 0, y = 0, w = 0, h = 0;
};

class Scene {
 public:
  Scene(int width, int height) : m_width(width), m_height(height) {
    m_canvas.assign(size_t(width) * height, kBackdrop);
  }

  // Moves the ball one step; the parts that changed (none the first time:
  // all of it did).
  std::vector<Box> Step() {
    const Box old = m_ball;
    const int spanX = std::max(1, m_width - kBall), spanY = std::max(1, m_height - kBall);
    const int px = (m_step * 12) % (2 * spanX), py = (m_step * 7) % (2 * spanY);
    m_ball = Box{px < spanX ? px : 2 * spanX - px, py < spanY ? py : 2 * spanY - py,
                 std::min(kBall, m_width), std::min(kBall, m_height)};
    ++m_step;
    Fill(old, kBackdrop);
    const double r = kBall / 2.0;
    for (int y = 0; y < m_ball.h; ++y)
      for (int x = 0; x < m_ball.w; ++x) {
        const double dx = x + 0.5 - r, dy = y + 0.5 - r;
        if (dx * dx + dy * dy <= r * r)
          m_canvas[size_t(m_ball.y + y) * m_width + m_ball.x + x] = kBallColour;
      }
    if (m_step == 1) return {};
    return {old, m_ball};
  }

  uint32_t* Pixels() { return m_canvas.data(); }

 private:
  void Fill(const Box& b, uint32_t colour) {
    for (int y = b.y; y < b.y + b.h; ++y)
      std::fill_n(m_canvas.begin() + size_t(y) * m_width + b.x, b.w, colour);
  }

  int m_width, m_height;
  std::vector<uint32_t> m_canvas;
  Box m_ball;
  int m_step = 0;
};

// --- as a PipeWire source ---

struct Source {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  Scene* scene = nullptr;
  int width = 0, height = 0, rate = 30;
  uint64_t seq = 0;
  bool streaming = false;
  bool whole = false;
};

void OnProcess(void* data) {
  auto* s = static_cast<Source*>(data);
  pw_buffer* b = pw_stream_dequeue_buffer(s->stream);
  if (!b) return;
  spa_buffer* buf = b->buffer;
  spa_data& d = buf->datas[0];
  const int stride = s->width * 4;
  if (!d.data || d.maxsize < uint32_t(stride) * s->height) {
    pw_stream_queue_buffer(s->stream, b);
    return;
  }
  const std::vector<Box> changed = s->scene->Step();
  // The buffer held an older picture: all of it is written.
  std::memcpy(d.data, s->scene->Pixels(), size_t(stride) * s->height);
  d.chunk->offset = 0;
  d.chunk->size = uint32_t(stride) * s->height;
  d.chunk->stride = stride;
  if (auto* h = static_cast<spa_meta_header*>(
          spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
    h->flags = 0;
    h->offset = 0;
    h->seq = ++s->seq;
    h->pts = int64_t(s->seq) * int64_t(SPA_NSEC_PER_SEC) / s->rate;
    h->dts_offset = 0;
  }
  if (auto* m = spa_buffer_find_meta(buf, SPA_META_VideoDamage)) {
    auto* r = static_cast<spa_meta_region*>(m->data);
    const int room = int(m->size / sizeof(spa_meta_region));
    // The first picture: all of it.
    std::vector<Box> parts = changed.empty() || s->whole
                                 ? std::vector<Box>{{0, 0, s->width, s->height}}
                                 : changed;
    int n = 0;
    for (const Box& p : parts) {
      if (n >= room) break;
      r[n++].region = SPA_REGION(p.x, p.y, uint32_t(p.w), uint32_t(p.h));
    }
    if (n < room) r[n].region = SPA_REGION(0, 0, 0, 0);
  }
  pw_stream_queue_buffer(s->stream, b);
}

// Each buffer's memory, shared with the consumer.
void OnAddBuffer(void* data, pw_buffer* b) {
  auto* s = static_cast<Source*>(data);
  spa_data& d = b->buffer->datas[0];
  if (!(d.type & (1 << SPA_DATA_MemFd))) return;
  const size_t size = size_t(s->width) * 4 * s->height;
  const int fd = memfd_create("castscene", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, off_t(size)) < 0) {
    if (fd >= 0) close(fd);
    return;
  }
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) {
    close(fd);
    return;
  }
  d.type = SPA_DATA_MemFd;
  d.flags = SPA_DATA_FLAG_READWRITE;
  d.fd = fd;
  d.mapoffset = 0;
  d.maxsize = uint32_t(size);
  d.data = memory;
}

void OnRemoveBuffer(void*, pw_buffer* b) {
  spa_data& d = b->buffer->datas[0];
  if (d.type != SPA_DATA_MemFd || !d.data) return;
  munmap(d.data, d.maxsize);
  close(int(d.fd));
  d.data = nullptr;
}

void OnParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* s = static_cast<Source*>(data);
  if (id != SPA_PARAM_Format || !param) return;
  const int stride = s->width * 4;
  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const spa_pod* params[3];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * s->height), SPA_PARAM_BUFFERS_stride,
      SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(int(sizeof(spa_meta_region) * kMaxRegions),
                               int(sizeof(spa_meta_region)),
                               int(sizeof(spa_meta_region) * kMaxRegions))));
  pw_stream_update_params(s->stream, params, 3);
}

void OnStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* s = static_cast<Source*>(data);
  s->streaming = state == PW_STREAM_STATE_STREAMING;
  if (state == PW_STREAM_STATE_ERROR) {
    fprintf(stderr, "castscene: %s\n", error ? error : "stream error");
    pw_main_loop_quit(s->loop);
  }
}

void OnTick(void* data, uint64_t) {
  auto* s = static_cast<Source*>(data);
  if (s->streaming) pw_stream_trigger_process(s->stream);
}

int RunSource(Scene* scene, int width, int height, int rate, const std::string& name,
              bool whole) {
  pw_init(nullptr, nullptr);
  Source s;
  s.whole = whole;
  s.scene = scene;
  s.width = width;
  s.height = height;
  s.rate = rate;
  s.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(s.loop);
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = OnStateChanged;
    e.param_changed = OnParamChanged;
    e.process = OnProcess;
    e.add_buffer = OnAddBuffer;
    e.remove_buffer = OnRemoveBuffer;
    return e;
  }();
  s.stream = pw_stream_new_simple(
      loop, name.c_str(),
      pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, name.c_str(),
                        nullptr),
      &events, &s);
  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  spa_rectangle size = SPA_RECTANGLE(uint32_t(width), uint32_t(height));
  spa_fraction framerate = SPA_FRACTION(uint32_t(rate), 1);
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size,
      SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&framerate)));
  if (pw_stream_connect(s.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS),
                        params, 1) < 0) {
    fprintf(stderr, "castscene: cannot connect the stream\n");
    return 1;
  }
  spa_source* tick = pw_loop_add_timer(loop, OnTick, &s);
  timespec first{0, 1}, interval{0, long(1000000000 / rate)};
  pw_loop_update_timer(loop, tick, &first, &interval, false);
  pw_main_loop_run(s.loop);
  pw_stream_destroy(s.stream);
  pw_main_loop_destroy(s.loop);
  pw_deinit();
  return 0;
}

// --- as an X window ---

int RunWindow(Scene* scene, int width, int height, int rate, bool whole) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    fprintf(stderr, "castscene: no X display\n");
    return 1;
  }
  const int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  const Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, width, height,
                                      0, 24, InputOutput, DefaultVisual(display, screen),
                                      CWOverrideRedirect, &attributes);
  XMapRaised(display, window);
  const GC gc = XCreateGC(display, window, 0, nullptr);
  XImage* image = XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(scene->Pixels()), width, height, 32,
                               width * 4);
  const auto period = std::chrono::nanoseconds(1000000000 / rate);
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    std::vector<Box> parts = scene->Step();
    if (parts.empty() || whole) parts = {Box{0, 0, width, height}};
    for (const Box& p : parts)
      XPutImage(display, window, gc, image, p.x, p.y, p.x, p.y, p.w, p.h);
    XSync(display, False);
    next += period;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int width = 1280, height = 720, rate = 30;
  std::string name = "korvorec-test-cast";
  bool x11 = false, whole = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--size" && i + 1 < argc) {
      sscanf(argv[++i], "%dx%d", &width, &height);
    } else if (arg == "--rate" && i + 1 < argc) {
      rate = std::max(1, atoi(argv[++i]));
    } else if (arg == "--name" && i + 1 < argc) {
      name = argv[++i];
    } else if (arg == "--x11") {
      x11 = true;
    } else if (arg == "--whole") {
      whole = true;
    } else {
      fprintf(stderr, "usage: castscene [--size WxH] [--rate N] [--name NODE] [--x11] [--whole]\n");
      return 2;
    }
  }
  if (width < 2 || height < 2) return 2;
  Scene scene(width, height);
  return x11 ? RunWindow(&scene, width, height, rate, whole)
             : RunSource(&scene, width, height, rate, name, whole);
}
