#pragma once

#include <QString>

#include <cstdint>
#include <functional>

// Below this many free bytes a recording is neither started nor continued.
constexpr int64_t kMinFreeDiskBytes = 0xA00000;  // 10 MiB

// Bytes available to the user on the file system that holds path (the nearest existing
// folder of it); -1 when that cannot be told.
int64_t FreeDiskBytes(const QString& path);

// False for an empty path and when fewer than kMinFreeDiskBytes are free;
// true otherwise, also when the free space cannot be told.
bool HasEnoughFreeSpace(const QString& path);

// Replaces where FreeDiskBytes gets its answer; an empty function restores
// the file system query. For tests.
void SetFreeDiskBytesSource(std::function<int64_t(const QString&)> source);
