#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "log/log_output.h"

namespace tarnwicket {

// What a line looks like: "YYYY-MM-DD HH:MM:SS [LEVEL] message" (local time),
// or one JSON object {"time":"...Z","level":"...","message":"..."} (UTC, ms).
enum class LogFormat { kText, kJson };

// Writes lines to a descriptor, standard output by default, and never waits
// for it: a call copies the whole line into a bounded buffer and returns, and
// one writer thread owned by the logger writes the buffer out in order,
// several lines at a time. Once a line does not fit (the reader has stalled), lines are dropped
// and counted until the buffer has drained; then a WARN line says how many.
// Logging never allocates, throws or does I/O under the mutex, which is a leaf
// lock: callers may log while holding their own locks.
class Logger {
 public:
  static constexpr std::size_t kDefaultBufferBytes = 4 << 20;
  static constexpr std::chrono::milliseconds kExitWait{1000};

  // Does not own `fd`. Throws only at start-up: no memory, thread or eventfd.
  // Without `report_drops` lost lines are only counted (lines_lost()), so
  // that a stream of records holds nothing but records.
  explicit Logger(int fd = STDOUT_FILENO, std::size_t buffer_bytes = kDefaultBufferBytes,
                  bool report_drops = true);
  // Waits at most kExitWait for the pending lines; the rest are lost.
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // The message is the parts run together: anything a string_view takes, so
  // that callers need not build (allocate) the message themselves.
  template <class... Parts>
  void info(const Parts&... parts) noexcept {
    write("INFO", {std::string_view(parts)...});
  }
  template <class... Parts>
  void warn(const Parts&... parts) noexcept {
    write("WARN", {std::string_view(parts)...});
  }
  template <class... Parts>
  void error(const Parts&... parts) noexcept {
    write("ERROR", {std::string_view(parts)...});
  }
  void write(std::string_view level, std::initializer_list<std::string_view> parts) noexcept;
  // "message\n" with no time stamp or level, in order with the other lines;
  // in JSON an INFO object, so that every line of the stream parses.
  void plain(std::string_view message) noexcept;
  // "line\n" exactly as given, whatever the format; false when it was dropped.
  bool record(std::string_view line) noexcept;

  // Applies to the lines written from now on.
  void set_format(LogFormat format) noexcept;
  // Lines go to `output` (not null) from the next write on; the writer
  // destroys the one it had.
  void set_output(std::unique_ptr<LogOutput> output) noexcept;
  // Lines lost to a full buffer or a failed output, since the start.
  std::uint64_t lines_lost() noexcept;

  // Waits until every line accepted so far has been written or lost to a
  // failed output; false when `limit` passed first.
  bool flush(std::chrono::milliseconds limit) noexcept;

 private:
  // Local time for text lines; UTC with milliseconds for JSON ones.
  struct Stamp {
    std::time_t second = 0;
    std::size_t size = 0;
    bool json = false;
    char text[32] = {};
  };
  static Stamp now(bool json) noexcept;

  // No stamp: the parts as they are.
  bool enqueue(const Stamp* stamp, std::string_view level,
               std::initializer_list<std::string_view> parts) noexcept;
  bool append_locked(const Stamp* stamp, std::string_view level,
                     std::initializer_list<std::string_view> parts) noexcept;
  bool append_json_locked(const Stamp& stamp, std::string_view level,
                          std::initializer_list<std::string_view> parts) noexcept;
  void put_locked(std::string_view bytes) noexcept;
  void lose_taken_locked(std::size_t taken) noexcept;
  void run() noexcept;

  std::unique_ptr<LogOutput> output_;  // swapped by the writer only, under mutex_
  const bool report_drops_;
  std::atomic<LogFormat> format_{LogFormat::kText};
  const std::size_t capacity_;
  const std::unique_ptr<char[]> ring_;  // line bytes; the writer reads [head_, head_ + used_)

  std::mutex mutex_;  // guards the fields below
  std::size_t head_ = 0;
  std::size_t used_ = 0;
  std::uint64_t dropped_ = 0;  // lines dropped since the buffer last drained
  Stamp last_stamp_;
  std::uint64_t lost_ = 0;                  // lines lost since the start
  std::unique_ptr<LogOutput> next_output_;  // set_output's, for the writer to take
  bool writer_waiting_ = false;
  bool stopping_ = false;
  std::condition_variable work_cv_;  // lines to write, or stopping_
  std::condition_variable idle_cv_;  // all written
  std::thread writer_;
};

}  // namespace tarnwicket
