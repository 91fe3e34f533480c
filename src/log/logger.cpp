#include "log/logger.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "log/json_text.h"

namespace tarnwicket {

namespace {

// Blocks every signal in the calling thread while it lives. The writer thread
// started meanwhile keeps the mask: stop signals stay with the main thread,
// and a SIGPIPE from a reader that went away stays pending instead of killing.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous_);
  }
  ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

}  // namespace

Logger::Logger(int fd, std::size_t buffer_bytes, bool report_drops)
    : output_(std::make_unique<LogOutput>(fd)),
      report_drops_(report_drops),
      capacity_(std::max<std::size_t>(buffer_bytes, 1)),
      ring_(std::make_unique_for_overwrite<char[]>(capacity_)) {
  AllSignalsBlocked blocked;
  writer_ = std::thread(&Logger::run, this);
}

Logger::~Logger() {
  flush(kExitWait);
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    output_->wake();
  }
  work_cv_.notify_one();
  writer_.join();
}

Logger::Stamp Logger::now(bool json) noexcept {
  Stamp stamp;
  if (json) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    stamp.second = now.tv_sec;
    std::tm utc{};
    gmtime_r(&stamp.second, &utc);
    const std::size_t size =
        std::strftime(stamp.text, sizeof stamp.text, "%Y-%m-%dT%H:%M:%S", &utc);
    const int millis = static_cast<int>(now.tv_nsec / 1'000'000);
    const int n = std::snprintf(stamp.text + size, sizeof stamp.text - size, ".%03dZ", millis);
    stamp.size = size + static_cast<std::size_t>(std::max(n, 0));
    stamp.json = true;
    return stamp;
  }
  stamp.second = std::time(nullptr);
  std::tm local{};
  localtime_r(&stamp.second, &local);
  stamp.size = std::strftime(stamp.text, sizeof stamp.text, "%Y-%m-%d %H:%M:%S", &local);
  return stamp;
}

void Logger::write(std::string_view level, std::initializer_list<std::string_view> parts) noexcept {
  const Stamp stamp = now(format_.load(std::memory_order_relaxed) == LogFormat::kJson);
  enqueue(&stamp, level, parts);
}

void Logger::plain(std::string_view message) noexcept {
  if (format_.load(std::memory_order_relaxed) == LogFormat::kJson) {
    const Stamp stamp = now(true);
    enqueue(&stamp, "INFO", {message});
  } else {
    enqueue(nullptr, {}, {message});
  }
}

bool Logger::record(std::string_view line) noexcept { return enqueue(nullptr, {}, {line}); }

void Logger::set_format(LogFormat format) noexcept {
  format_.store(format, std::memory_order_relaxed);
}

void Logger::set_output(std::unique_ptr<LogOutput> next) noexcept {
  std::unique_ptr<LogOutput> unused;  // closed outside the lock
  {
    std::lock_guard lock(mutex_);
    unused = std::exchange(next_output_, std::move(next));
    output_->wake();  // a wait for room on the old output ends
  }
  work_cv_.notify_one();
}

std::uint64_t Logger::lines_lost() noexcept {
  std::lock_guard lock(mutex_);
  return lost_;
}

bool Logger::flush(std::chrono::milliseconds limit) noexcept {
  std::unique_lock lock(mutex_);
  return idle_cv_.wait_for(lock, limit, [this] { return used_ == 0 && dropped_ == 0; });
}

bool Logger::enqueue(const Stamp* stamp, std::string_view level,
                     std::initializer_list<std::string_view> parts) noexcept {
  bool wake_writer = false;
  bool accepted = false;
  {
    std::lock_guard lock(mutex_);
    // Once one line is dropped, all are until the buffer has drained, so
    // that the count line goes out in the place of the lost lines.
    accepted = dropped_ == 0 && append_locked(stamp, level, parts);
    if (!accepted) {
      ++dropped_;
      ++lost_;
    }
    // Also after a drop: a line longer than the whole buffer is dropped while
    // the writer sleeps, which must then still write the count.
    wake_writer = std::exchange(writer_waiting_, false);
  }
  if (wake_writer) work_cv_.notify_one();
  return accepted;
}

bool Logger::append_locked(const Stamp* stamp, std::string_view level,
                           std::initializer_list<std::string_view> parts) noexcept {
  if (stamp != nullptr && stamp->json) return append_json_locked(*stamp, level, parts);
  std::size_t size = 1;
  if (stamp != nullptr) {
    // Never backwards from one line to the next, whichever thread read the clock first.
    if (stamp->second >= last_stamp_.second) last_stamp_ = *stamp;
    size += last_stamp_.size + level.size() + 4;
  }
  for (std::string_view part : parts) size += part.size();
  if (size > capacity_ - used_) return false;
  if (stamp != nullptr) {
    put_locked({last_stamp_.text, last_stamp_.size});
    put_locked(" [");
    put_locked(level);
    put_locked("] ");
  }
  for (std::string_view part : parts) put_locked(part);
  put_locked("\n");
  return true;
}

bool Logger::append_json_locked(const Stamp& stamp, std::string_view level,
                                std::initializer_list<std::string_view> parts) noexcept {
  constexpr std::string_view kTime = "{\"time\":\"", kLevel = "\",\"level\":\"",
                             kMessage = "\",\"message\":\"", kEnd = "\"}\n";
  std::size_t size = kTime.size() + stamp.size + kLevel.size() + json_escaped_size(level) +
                     kMessage.size() + kEnd.size();
  for (std::string_view part : parts) size += json_escaped_size(part);
  if (size > capacity_ - used_) return false;
  const auto put = [this](std::string_view piece) { put_locked(piece); };
  put_locked(kTime);
  put_locked({stamp.text, stamp.size});
  put_locked(kLevel);
  escape_json(level, put);
  put_locked(kMessage);
  for (std::string_view part : parts) escape_json(part, put);
  put_locked(kEnd);
  return true;
}

void Logger::lose_taken_locked(std::size_t taken) noexcept {
  const std::size_t first = std::min(taken, capacity_ - head_);
  const char* ring = ring_.get();
  lost_ += static_cast<std::uint64_t>(std::count(ring + head_, ring + head_ + first, '\n') +
                                      std::count(ring, ring + (taken - first), '\n'));
}

void Logger::put_locked(std::string_view bytes) noexcept {
  const std::size_t tail = (head_ + used_) % capacity_;
  const std::size_t first = std::min(bytes.size(), capacity_ - tail);
  std::memcpy(ring_.get() + tail, bytes.data(), first);
  std::memcpy(ring_.get(), bytes.data() + first, bytes.size() - first);
  used_ += bytes.size();
}

void Logger::run() noexcept {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (next_output_) {
      std::unique_ptr<LogOutput> previous = std::exchange(output_, std::move(next_output_));
      lock.unlock();
      previous.reset();  // closes its descriptor when owned
      lock.lock();
      continue;
    }
    if (used_ == 0 && dropped_ > 0 && !report_drops_) {
      dropped_ = 0;
      continue;
    }
    if (used_ == 0 && dropped_ > 0) {
      // The output flows again: the count goes after every line accepted before.
      lock.unlock();
      const Stamp stamp = now(format_.load(std::memory_order_relaxed) == LogFormat::kJson);
      lock.lock();
      char count[24];
      const char* end = std::to_chars(count, count + sizeof count, dropped_).ptr;
      const std::string_view number(count, static_cast<std::size_t>(end - count));
      append_locked(&stamp, "WARN", {"log output stalled: ", number, " lines dropped"});
      dropped_ = 0;
      continue;
    }
    if (used_ == 0) {
      idle_cv_.notify_all();
      writer_waiting_ = true;
      work_cv_.wait(lock);
      continue;
    }
    // Producers only ever write outside [head_, head_ + used_).
    const std::size_t taken = used_;
    const std::size_t first = std::min(taken, capacity_ - head_);
    iovec parts[2] = {{ring_.get() + head_, first}, {ring_.get(), taken - first}};
    lock.unlock();
    const ssize_t n = output_->write(parts, taken > first ? 2 : 1);
    lock.lock();
    if (n < 0) lose_taken_locked(taken);
    // A failed output loses what was taken; an ended wait for room loses nothing.
    const std::size_t done = n > 0 ? static_cast<std::size_t>(n) : (n < 0 ? taken : 0);
    head_ = (head_ + done) % capacity_;
    used_ -= done;
  }
}

}  // namespace tarnwicket
