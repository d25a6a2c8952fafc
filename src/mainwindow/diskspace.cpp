#include "mainwindow/diskspace.h"

#include <QFileInfo>
#include <QStorageInfo>

#include <glog/logging.h>

#include <utility>

#include "mainwindow/mainwindow.h"

namespace {

std::function<int64_t(const QString&)>& Source() {
  static std::function<int64_t(const QString&)> source;
  return source;
}

}  // namespace

int64_t FreeDiskBytes(const QString& path) {
  if (Source()) return Source()(path);
  // The file may not exist yet: ask about the nearest folder that does.
  QString folder = QFileInfo(path).absoluteFilePath();
  while (!QFileInfo(folder).isDir()) {
    const QString parent = QFileInfo(folder).absolutePath();
    if (parent == folder) break;
    folder = parent;
  }
  const QStorageInfo storage(folder);
  if (!storage.isValid() || !storage.isReady()) {
    LOG(WARNING) << "free space unknown for " << path.toStdString();
    return -1;
  }
  // What the user may still write: blocks reserved for root do not count.
  return storage.bytesAvailable();
}

bool HasEnoughFreeSpace(const QString& path) {
  if (path.isEmpty()) return false;
  const int64_t bytes = FreeDiskBytes(path);
  if (bytes < 0) return true;
  return bytes >= kMinFreeDiskBytes;
}

void SetFreeDiskBytesSource(std::function<int64_t(const QString&)> source) {
  Source() = std::move(source);
}

// The disk holding the current recording.
bool MainWindow::HasEnoughDiskSpace() const { return HasEnoughFreeSpace(m_outputPath); }
