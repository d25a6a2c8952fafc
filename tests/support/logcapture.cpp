#include "support/logcapture.h"

namespace testsupport {

LogCapture::LogCapture() { google::AddLogSink(this); }

LogCapture::~LogCapture() { google::RemoveLogSink(this); }

void LogCapture::send(google::LogSeverity severity, const char*, const char*, int, const struct ::tm*,
                      const char* message, size_t message_len) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_messages.emplace_back(message, message_len);
  m_severities.push_back(severity);
}

bool LogCapture::Contains(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& m : m_messages)
    if (m.find(text) != std::string::npos) return true;
  return false;
}

int LogCapture::SeverityOf(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (size_t i = 0; i < m_messages.size(); ++i)
    if (m_messages[i].find(text) != std::string::npos) return m_severities[i];
  return -1;
}

std::vector<std::string> LogCapture::Messages() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_messages;
}

}  // namespace testsupport
