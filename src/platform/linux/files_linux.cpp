#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

RandomAccessFile::~RandomAccessFile() { Close(); }

bool RandomAccessFile::Fail(const char* what) {
  m_error = std::string(what) + ": " + std::strerror(errno);
  return false;
}

bool RandomAccessFile::Open(const std::string& path) {
  Close();
  m_handle = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  return m_handle >= 0 || Fail("open");
}

void RandomAccessFile::Close() {
  if (m_handle >= 0) ::close(m_handle);
  m_handle = -1;
}

int64_t RandomAccessFile::Size() {
  struct stat info {};
  if (::fstat(m_handle, &info) != 0) {
    Fail("fstat");
    return -1;
  }
  return static_cast<int64_t>(info.st_size);
}

bool RandomAccessFile::ReadAt(int64_t offset, void* data, size_t size) {
  auto* to = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(m_handle, to, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail("pread");
    if (n == 0) {
      m_error = "pread: past the end of the file";
      return false;
    }
    to += n;
    offset += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool RandomAccessFile::WriteAt(int64_t offset, const void* data, size_t size) {
  const auto* from = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(m_handle, from, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail("pwrite");
    if (n == 0) {
      m_error = "pwrite: nothing written";
      return false;
    }
    from += n;
    offset += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool RandomAccessFile::Truncate(int64_t size) {
  return ::ftruncate(m_handle, static_cast<off_t>(size)) == 0 || Fail("ftruncate");
}

bool RandomAccessFile::Sync() { return ::fdatasync(m_handle) == 0 || Fail("fdatasync"); }

}  // namespace platform
