#pragma once

// One worker of the event engine: a thread that waits on an epoll set of
// non-blocking sockets and on a heap of timers, and runs what other threads
// post to it. Everything a loop owns is touched by its own thread only; other
// threads reach it through post() and run_and_wait().
//
// Within one turn of the loop, the events come first, then the timers that
// are due, then the posted tasks, and last the watchers retired during the
// turn are destroyed: an event or timer of the same turn never finds a
// watcher gone, and once a posted task has unwatched one, no event for it is
// left to come.

#include <sys/epoll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>

#include "gateway/events/buffer_pool.h"
#include "net/fd.h"

namespace tarnwicket {

using Clock = std::chrono::steady_clock;

// What a loop calls back: one object per connection, association or listener.
class Watcher {
 public:
  Watcher() = default;
  virtual ~Watcher() = default;
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;
  // `side` is the one given to watch(): which of the object's sockets.
  virtual void on_io(int side, std::uint32_t events) = 0;
  virtual void on_timer() = 0;

 private:
  friend class Loop;
  // What an epoll event points to: the watcher and which of its sockets.
  struct Port {
    Watcher* owner;
    int side;
  };
  Port ports_[2] = {{this, 0}, {this, 1}};
};

class Loop {
 public:
  Loop();   // throws std::system_error when epoll or the wake-up cannot be made
  ~Loop();  // stops the thread and joins it
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Starts the thread; throws std::system_error when it cannot be made.
  void start();

  // Any thread: runs `task` on the loop's thread soon.
  void post(std::function<void()> task);
  // Any thread but the loop's: runs `task` there and returns once it has run.
  void run_and_wait(const std::function<void()>& task);

  // The loop's thread only, from here on.
  // `side` (0 or 1) comes back with each event. False when epoll refuses the socket.
  bool watch(int fd, std::uint32_t events, Watcher* watcher, int side);
  void rewatch(int fd, std::uint32_t events, Watcher* watcher, int side);
  void unwatch(int fd);
  // A time-out for `watcher` at `when`; 0 is never a timer's id.
  std::uint64_t arm(Clock::time_point when, Watcher* watcher);
  void disarm(std::uint64_t& id);  // sets it to 0
  // The loop keeps the watcher alive until retire(), then to the end of the turn.
  void adopt(std::shared_ptr<Watcher> watcher);
  void retire(Watcher* watcher);
  // The time the current turn began.
  Clock::time_point now() const { return now_; }
  BufferPool& buffers() { return buffers_; }
  // A buffer for one datagram at a time, for whoever handles an event.
  char* scratch() { return scratch_.get(); }

 private:
  struct Timer {
    Clock::time_point when;
    std::uint64_t id;
    bool operator>(const Timer& other) const { return when > other.when; }
  };

  void run();
  int wait_ms() const;
  void fire_timers();
  void run_tasks();

  UniqueFd epoll_;
  UniqueFd wake_;  // an eventfd
  std::thread thread_;
  bool stopping_ = false;  // the loop's thread only
  Clock::time_point now_ = Clock::now();

  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
  std::unordered_map<std::uint64_t, Watcher*> armed_;  // timers not yet fired or disarmed
  std::uint64_t next_timer_ = 0;
  std::unordered_map<Watcher*, std::shared_ptr<Watcher>> owned_;
  std::vector<std::shared_ptr<Watcher>> retired_;
  BufferPool buffers_;
  std::unique_ptr<char[]> scratch_;

  std::mutex tasks_mutex_;                    // a leaf lock
  std::vector<std::function<void()>> tasks_;  // guarded by tasks_mutex_
};

}  // namespace tarnwicket
