// Cameras through Video4Linux2: enumeration of /dev/video* and mmap streaming.
#include <fcntl.h>
#include <glog/logging.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <numeric>
#include <thread>

#include "platform/cameras.h"
#include "platform/linux/cameras_v4l2.h"
#include "platform/thread_name.h"

namespace platform {

std::string StableCameraId(const std::string& node, const std::string& linkDir) {
  char target[PATH_MAX];
  if (!realpath(node.c_str(), target)) return node;
  const std::string real = target;
  std::vector<std::string> links;
  if (DIR* dir = opendir(linkDir.c_str())) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      const std::string link = linkDir + "/" + e->d_name;
      if (realpath(link.c_str(), target) && real == target) links.push_back(link);
    }
    closedir(dir);
  }
  if (links.empty()) return node;
  std::sort(links.begin(), links.end());
  return links.front();
}

namespace {

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ioctl(fd, request, arg);
  } while (r == -1 && errno == EINTR);
  return r;
}

CameraPixelFormat FromFourcc(uint32_t fourcc) {
  switch (fourcc) {
    case V4L2_PIX_FMT_YUV420: return CameraPixelFormat::I420;
    case V4L2_PIX_FMT_NV12: return CameraPixelFormat::NV12;
    case V4L2_PIX_FMT_YUYV: return CameraPixelFormat::YUY2;
    case V4L2_PIX_FMT_UYVY: return CameraPixelFormat::UYVY;
    case V4L2_PIX_FMT_BGR24: return CameraPixelFormat::BGR24;
    case V4L2_PIX_FMT_MJPEG: return CameraPixelFormat::MJPEG;
    case V4L2_PIX_FMT_H264: return CameraPixelFormat::H264;
    default: return CameraPixelFormat::Unknown;
  }
}

uint32_t ToFourcc(CameraPixelFormat format) {
  switch (format) {
    case CameraPixelFormat::I420: return V4L2_PIX_FMT_YUV420;
    case CameraPixelFormat::NV12: return V4L2_PIX_FMT_NV12;
    case CameraPixelFormat::YUY2: return V4L2_PIX_FMT_YUYV;
    case CameraPixelFormat::UYVY: return V4L2_PIX_FMT_UYVY;
    case CameraPixelFormat::BGR24: return V4L2_PIX_FMT_BGR24;
    case CameraPixelFormat::MJPEG: return V4L2_PIX_FMT_MJPEG;
    case CameraPixelFormat::H264: return V4L2_PIX_FMT_H264;
    case CameraPixelFormat::Unknown: break;
  }
  return 0;
}

bool IsCaptureDevice(int fd, std::string* card) {
  v4l2_capability cap{};
  if (Ioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) return false;
  uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) return false;
  *card = reinterpret_cast<const char*>(cap.card);
  return true;
}

int64_t Interval100ns(const v4l2_fract& f) {
  return f.denominator ? int64_t(f.numerator) * 10000000 / f.denominator : 0;
}

void AddIntervals(int fd, uint32_t fourcc, uint32_t w, uint32_t h, CameraFormat* out) {
  v4l2_frmivalenum iv{};
  iv.pixel_format = fourcc;
  iv.width = w;
  iv.height = h;
  for (iv.index = 0; Ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv) == 0; ++iv.index) {
    if (iv.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
      out->frameIntervals.push_back(Interval100ns(iv.discrete));
    } else {
      out->frameIntervals.push_back(Interval100ns(iv.stepwise.min));
      break;
    }
  }
  if (!out->frameIntervals.empty()) out->averageInterval = out->frameIntervals.front();
}

// Asks the device for a frame interval (100 ns units); a device that cannot
// be asked keeps its own rate.
void SetFrameInterval(int fd, const std::string& id, int64_t interval) {
  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (Ioctl(fd, VIDIOC_G_PARM, &parm) != 0 || !(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
    LOG(WARNING) << "camera " << id << " does not take a frame rate";
    return;
  }
  const int64_t divisor = std::gcd(interval, int64_t(10000000));
  parm.parm.capture.timeperframe.numerator = uint32_t(interval / divisor);
  parm.parm.capture.timeperframe.denominator = uint32_t(10000000 / divisor);
  if (Ioctl(fd, VIDIOC_S_PARM, &parm) != 0) {
    LOG(WARNING) << "camera " << id << " refused a frame interval of " << interval * 100 << " ns, errno "
                 << errno;
    return;
  }
  LOG(INFO) << "camera " << id << " streams at " << parm.parm.capture.timeperframe.denominator << "/"
            << parm.parm.capture.timeperframe.numerator << " fps";
}

class V4l2Stream : public CameraStream {
 public:
  V4l2Stream(int fd, const CameraFormat& format, size_t bytesPerLine)
      : m_fd(fd), m_format(format), m_bytesPerLine(bytesPerLine) {}
  ~V4l2Stream() override {
    Stop();
    for (auto& b : m_buffers) munmap(b.first, b.second);
    close(m_fd);
  }

  bool MapBuffers() {
    v4l2_requestbuffers req{};
    req.count = 4;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (Ioctl(m_fd, VIDIOC_REQBUFS, &req) != 0 || req.count == 0) {
      LOG(ERROR) << "VIDIOC_REQBUFS failed, errno " << errno;
      return false;
    }
    for (uint32_t i = 0; i < req.count; ++i) {
      v4l2_buffer buf{};
      buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buf.memory = V4L2_MEMORY_MMAP;
      buf.index = i;
      if (Ioctl(m_fd, VIDIOC_QUERYBUF, &buf) != 0) return false;
      void* p = mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buf.m.offset);
      if (p == MAP_FAILED) return false;
      m_buffers.emplace_back(p, buf.length);
    }
    return true;
  }

  Result Start(CameraSampleCallback callback) override {
    if (m_thread.joinable()) return Result::Failed;
    for (uint32_t i = 0; i < m_buffers.size(); ++i) {
      v4l2_buffer buf{};
      buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buf.memory = V4L2_MEMORY_MMAP;
      buf.index = i;
      if (Ioctl(m_fd, VIDIOC_QBUF, &buf) != 0) return Result::Failed;
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Ioctl(m_fd, VIDIOC_STREAMON, &type) != 0) {
      LOG(ERROR) << "VIDIOC_STREAMON failed, errno " << errno;
      return Result::Failed;
    }
    m_running = true;
    m_thread = std::thread([this, callback] { Loop(callback); });
    return Result::Ok;
  }

  void Stop() override {
    m_running = false;
    if (!m_thread.joinable()) return;
    m_thread.join();
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    Ioctl(m_fd, VIDIOC_STREAMOFF, &type);
  }

 private:
  void Loop(const CameraSampleCallback& callback) {
    platform::SetCurrentThreadName("camera");
    std::vector<uint8_t> scratch;
    while (m_running) {
      pollfd p{m_fd, POLLIN, 0};
      int r = poll(&p, 1, 100);
      if (r <= 0) {
        if (r < 0 && errno != EINTR) {
          LOG(ERROR) << "camera poll failed, errno " << errno;
          return;
        }
        continue;
      }
      v4l2_buffer buf{};
      buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buf.memory = V4L2_MEMORY_MMAP;
      if (Ioctl(m_fd, VIDIOC_DQBUF, &buf) != 0) {
        if (errno == EAGAIN) continue;
        LOG(ERROR) << "VIDIOC_DQBUF failed, errno " << errno;
        return;
      }
      if (buf.index < m_buffers.size() && buf.bytesused > 0) {
        CameraBuffer filled;
        filled.data = static_cast<const uint8_t*>(m_buffers[buf.index].first);
        filled.length = buf.bytesused;
        filled.bytesPerLine = m_bytesPerLine;
        filled.damaged = (buf.flags & V4L2_BUF_FLAG_ERROR) != 0;
        size_t length = 0;
        if (const uint8_t* sample = CameraSample(m_format, filled, &scratch, &length)) callback(sample, length);
      }
      Ioctl(m_fd, VIDIOC_QBUF, &buf);
    }
  }

  int m_fd;
  CameraFormat m_format;
  size_t m_bytesPerLine;  // the driver may pad rows
  std::vector<std::pair<void*, size_t>> m_buffers;
  std::atomic<bool> m_running{false};
  std::thread m_thread;
};

class V4l2Cameras : public Cameras {
 public:
  std::vector<CameraDevice> List() override {
    std::vector<std::pair<int, std::string>> paths;
    if (DIR* dir = opendir("/dev")) {
      while (dirent* e = readdir(dir)) {
        if (strncmp(e->d_name, "video", 5) == 0 && e->d_name[5] >= '0' && e->d_name[5] <= '9')
          paths.emplace_back(atoi(e->d_name + 5), std::string("/dev/") + e->d_name);
      }
      closedir(dir);
    }
    std::sort(paths.begin(), paths.end());
    std::vector<CameraDevice> list;
    for (const auto& p : paths) {
      int fd = open(p.second.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      std::string card;
      if (IsCaptureDevice(fd, &card)) {
        // The node's number can change when cameras are plugged again; the
        // by-id link names the camera itself.
        const std::string id = StableCameraId(p.second, "/dev/v4l/by-id");
        list.push_back({id, card, id == p.second ? std::string() : p.second});
      }
      close(fd);
    }
    return list;
  }

  Result Formats(const std::string& id, std::vector<CameraFormat>* formats) override {
    formats->clear();
    int fd = open(id.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Result::Failed;
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; Ioctl(fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
      v4l2_frmsizeenum size{};
      size.pixel_format = desc.pixelformat;
      for (size.index = 0; Ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        CameraFormat f;
        f.pixelFormat = FromFourcc(desc.pixelformat);
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
          f.width = size.discrete.width;
          f.height = size.discrete.height;
        } else {
          f.width = size.stepwise.max_width;
          f.height = size.stepwise.max_height;
        }
        AddIntervals(fd, desc.pixelformat, f.width, f.height, &f);
        formats->push_back(f);
        if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
      }
    }
    close(fd);
    return Result::Ok;
  }

  std::unique_ptr<CameraStream> Open(const std::string& id, const CameraFormat& format,
                                     Result* result) override {
    *result = Result::Failed;
    int fd = open(id.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      LOG(ERROR) << "cannot open " << id << ", errno " << errno;
      return nullptr;
    }
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = format.width;
    fmt.fmt.pix.height = std::abs(format.height);
    fmt.fmt.pix.pixelformat = ToFourcc(format.pixelFormat);
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (Ioctl(fd, VIDIOC_S_FMT, &fmt) != 0) {
      LOG(ERROR) << "camera " << id << " cannot take " << CameraPixelFormatName(format.pixelFormat) << " "
                 << format.width << "x" << format.height << ", errno " << errno;
      close(fd);
      return nullptr;
    }
    if (fmt.fmt.pix.pixelformat != ToFourcc(format.pixelFormat) || int(fmt.fmt.pix.width) != format.width ||
        int(fmt.fmt.pix.height) != std::abs(format.height)) {
      LOG(ERROR) << "camera " << id << " refused " << CameraPixelFormatName(format.pixelFormat) << " "
                 << format.width << "x" << format.height;
      close(fd);
      *result = Result::Unsupported;
      return nullptr;
    }
    if (format.requestedInterval > 0) SetFrameInterval(fd, id, format.requestedInterval);
    auto stream = std::make_unique<V4l2Stream>(fd, format, fmt.fmt.pix.bytesperline);
    if (!stream->MapBuffers()) return nullptr;
    *result = Result::Ok;
    return stream;
  }
};

}  // namespace

namespace native {
Cameras& CamerasInstance() {
  static V4l2Cameras instance;
  return instance;
}
}  // namespace native

}  // namespace platform
