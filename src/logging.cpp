#include "logging.h"

#include <glog/logging.h>

#include "settings.h"

bool InitLogging() {
  google::InitGoogleLogging("sr");
  google::SetLogDestination(google::GLOG_INFO, (Settings::LogFolder() + "sr").c_str());
  google::SetStderrLogging(google::GLOG_ERROR);
  return true;
}

void LogMachineInfo() {}
