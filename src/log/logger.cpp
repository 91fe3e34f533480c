#include "log/logger.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace tarnwicket {

namespace {

// "YYYY-MM-DD HH:MM:SS" in local time, whole seconds.
std::string local_timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::time_point_cast<std::chrono::seconds>(now));
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  const size_t size = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, size);
}

}  // namespace

void Logger::info(const std::string& message) { write("INFO", message); }

void Logger::warn(const std::string& message) { write("WARN", message); }

void Logger::error(const std::string& message) { write("ERROR", message); }

void Logger::write(const char* level, const std::string& message) {
  // The clock is read under the lock so that time stamps never go backwards
  // from one line to the next; the line goes out in one fwrite so that no
  // other writer to stdout can split it.
  std::lock_guard lock(mutex_);
  std::string line = local_timestamp();
  line += " [";
  line += level;
  line += "] ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace tarnwicket
