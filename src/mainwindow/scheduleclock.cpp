#include "mainwindow/scheduleclock.h"

#include <QDateTime>

#include <utility>

namespace scheduleclock {
namespace {

std::function<int64_t()>& Source() {
  static std::function<int64_t()> source;
  return source;
}

}  // namespace

int64_t NowSeconds() {
  if (Source()) return Source()();
  return QDateTime::currentSecsSinceEpoch();
}

void SetSource(std::function<int64_t()> source) { Source() = std::move(source); }

}  // namespace scheduleclock
