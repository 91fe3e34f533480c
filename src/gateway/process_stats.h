#pragma once

#include <cstdint>

namespace tarnwicket {

// The process's own figures for the metrics; unreadable entries stay 0.
struct ProcessStats {
  double start_time_seconds = 0;
  double cpu_seconds = 0;
  std::int64_t resident_bytes = 0;
  std::int64_t threads = 0;
  std::int64_t open_fds = 0;
  std::int64_t max_fds = 0;
};

ProcessStats read_process_stats();

}  // namespace tarnwicket
