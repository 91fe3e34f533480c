#pragma once

#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

namespace tarnwicket {

// Worker threads that reclaim each other: a finishing thread leaves itself
// behind to be joined by the next one that finishes and joins the one left
// before it, so at most one finished thread waits to be joined at any time
// and nothing is detached. join_all() waits for every thread ever spawned.
class ThreadGroup {
 public:
  ThreadGroup() = default;
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;
  ~ThreadGroup() { join_all(); }

  // Runs fn on a new thread. Throws std::system_error when none can be made.
  template <class Fn>
  void spawn(Fn&& fn) {
    std::lock_guard lock(mutex_);
    auto self = running_.emplace(running_.end());
    try {
      *self = std::thread([this, self, fn = std::forward<Fn>(fn)]() mutable {
        // A failure that escapes a worker gives up its own work only; it must
        // never reach std::terminate and end every other player's session.
        try {
          fn();
        } catch (...) {
        }
        retire(self);
      });
    } catch (...) {
      running_.erase(self);
      throw;
    }
  }

  void join_all();
  // No thread runs any more: join_all() would wait only for the last to leave.
  bool empty();

 private:
  void retire(std::list<std::thread>::iterator self);

  std::mutex mutex_;
  std::condition_variable idle_;
  std::list<std::thread> running_;
  std::thread finished_;  // the last thread to finish, not yet joined
};

}  // namespace tarnwicket
