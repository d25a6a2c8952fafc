#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// An existing file opened for reading and writing in place, at explicit
// offsets. Failures return false (or -1) and leave their reason in
// LastError().
class RandomAccessFile {
 public:
  RandomAccessFile() = default;
  ~RandomAccessFile();
  RandomAccessFile(const RandomAccessFile&) = delete;
  RandomAccessFile& operator=(const RandomAccessFile&) = delete;

  // path is UTF-8.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return m_handle >= 0; }
  // Bytes in the file, -1 on failure.
  int64_t Size();
  // All of size bytes, or false (a read past the end fails).
  bool ReadAt(int64_t offset, void* data, size_t size);
  bool WriteAt(int64_t offset, const void* data, size_t size);
  bool Truncate(int64_t size);
  // What was written, and the file's size, are on the disk when it returns.
  bool Sync();
  const std::string& LastError() const { return m_error; }

 private:
  bool Fail(const char* what);

  int m_handle = -1;
  std::string m_error;
};

}  // namespace platform
