#pragma once

#include <mutex>
#include <string>

namespace tarnwicket {

// Writes "YYYY-MM-DD HH:MM:SS [LEVEL] message\n" to standard output, one
// flush per line. Thread safe: lines never interleave. Its mutex is a leaf
// lock, so callers may log while holding their own locks.
class Logger {
 public:
  Logger() = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void info(const std::string& message);
  void warn(const std::string& message);
  void error(const std::string& message);
  void write(const char* level, const std::string& message);

 private:
  std::mutex mutex_;
};

}  // namespace tarnwicket
