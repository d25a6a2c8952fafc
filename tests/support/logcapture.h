#pragma once

#include <glog/logging.h>

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// Collects the log messages written while it exists.
class LogCapture : public google::LogSink {
 public:
  LogCapture();
  ~LogCapture() override;
  void send(google::LogSeverity severity, const char* full_filename, const char* base_filename, int line,
            const struct ::tm* tm_time, const char* message, size_t message_len) override;
  bool Contains(const std::string& text);
  // Severity of the first message holding text; -1 when none does.
  int SeverityOf(const std::string& text);
  std::vector<std::string> Messages();

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_messages;
  std::vector<int> m_severities;
};

}  // namespace testsupport
