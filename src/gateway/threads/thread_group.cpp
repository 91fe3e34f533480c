#include "gateway/threads/thread_group.h"

namespace tarnwicket {

void ThreadGroup::retire(std::list<std::thread>::iterator self) {
  std::thread previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(finished_, std::move(*self));
    running_.erase(self);
    if (running_.empty()) idle_.notify_all();
  }
  // The previous thread has already left retire() or is about to: short wait.
  if (previous.joinable()) previous.join();
}

bool ThreadGroup::empty() {
  std::lock_guard lock(mutex_);
  return running_.empty();
}

void ThreadGroup::join_all() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return running_.empty(); });
  std::thread last = std::move(finished_);
  lock.unlock();
  // Joining the last one waits for the whole chain before it.
  if (last.joinable()) last.join();
}

}  // namespace tarnwicket
