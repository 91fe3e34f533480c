#pragma once

// Whether the gateway runs and drains, as every engine's workers read it, and
// the pause that a stop cuts short.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarnwicket {

class RunState {
 public:
  bool running() const { return running_.load(); }
  bool draining() const { return draining_.load(); }

  // Both return the previous value, so that each step acts once.
  bool begin() {
    draining_ = false;
    return running_.exchange(true);
  }
  bool end() {
    const bool was = running_.exchange(false);
    {
      std::lock_guard lock(pause_mutex_);  // no pause misses the wake-up
    }
    pause_cv_.notify_all();
    return was;
  }
  bool begin_drain() { return draining_.exchange(true); }

  // Sleeps for the pause unless the stop begins first; for back-off after a
  // resource failure, so that a stop is never held up by it.
  void pause_unless_stopping(std::chrono::milliseconds pause) {
    std::unique_lock lock(pause_mutex_);
    pause_cv_.wait_for(lock, pause, [this] { return !running_.load(); });
  }

 private:
  std::atomic<bool> running_{false};
  std::atomic<bool> draining_{false};
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;
};

}  // namespace tarnwicket
