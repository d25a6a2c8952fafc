#include "platform/thread_name.h"

#include <pthread.h>

#include <glog/logging.h>

#include <cstring>
#include <string>

namespace platform {

void SetCurrentThreadName(const char* name) {
  if (!name) return;
  // The kernel refuses names longer than 15 characters instead of cutting them.
  const std::string kept(name, strnlen(name, 15));
  const int error = pthread_setname_np(pthread_self(), kept.c_str());
  if (error != 0) LOG(WARNING) << "cannot name thread " << kept << ": " << std::strerror(error);
}

}  // namespace platform
