#include "gateway/events/loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <future>
#include <system_error>

namespace tarnwicket {

namespace {

constexpr int kEventsPerTurn = 256;

}  // namespace

Loop::Loop()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      scratch_(std::make_unique_for_overwrite<char[]>(kRelayBufferBytes)) {
  if (!epoll_ || !wake_) throw std::system_error(errno, std::generic_category(), "epoll");
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // no watcher: the wake-up
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event) != 0) {
    throw std::system_error(errno, std::generic_category(), "epoll");
  }
}

Loop::~Loop() {
  if (!thread_.joinable()) return;
  post([this] { stopping_ = true; });
  thread_.join();
}

void Loop::start() { thread_ = std::thread(&Loop::run, this); }

void Loop::post(std::function<void()> task) {
  bool first;
  {
    std::lock_guard lock(tasks_mutex_);
    first = tasks_.empty();
    tasks_.push_back(std::move(task));
  }
  // One wake-up for a burst of tasks.
  if (first) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
  }
}

void Loop::run_and_wait(const std::function<void()>& task) {
  std::promise<void> done;
  post([&] {
    try {
      task();
    } catch (...) {
    }
    done.set_value();
  });
  done.get_future().wait();
}

bool Loop::watch(int fd, std::uint32_t events, Watcher* watcher, int side) {
  epoll_event event{};
  event.events = events;
  event.data.ptr = &watcher->ports_[side & 1];
  return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void Loop::rewatch(int fd, std::uint32_t events, Watcher* watcher, int side) {
  epoll_event event{};
  event.events = events;
  event.data.ptr = &watcher->ports_[side & 1];
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event);
}

void Loop::unwatch(int fd) { ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr); }

std::uint64_t Loop::arm(Clock::time_point when, Watcher* watcher) {
  const std::uint64_t id = ++next_timer_;
  armed_.emplace(id, watcher);
  try {
    timers_.push({when, id});
  } catch (...) {
    armed_.erase(id);
    throw;
  }
  return id;
}

void Loop::disarm(std::uint64_t& id) {
  // The heap entry stays until its time comes and then finds nothing armed.
  if (id != 0) armed_.erase(id);
  id = 0;
}

void Loop::adopt(std::shared_ptr<Watcher> watcher) {
  Watcher* key = watcher.get();
  owned_.emplace(key, std::move(watcher));
}

void Loop::retire(Watcher* watcher) {
  auto it = owned_.find(watcher);
  if (it == owned_.end()) return;
  try {
    retired_.push_back(it->second);
  } catch (...) {
    return;  // out of memory: it stays owned, and unwatched, until the loop ends
  }
  owned_.erase(it);
}

int Loop::wait_ms() const {
  if (timers_.empty()) return -1;  // nothing due: sleep until an event
  const auto left = timers_.top().when - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up: a timer never fires before its time.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void Loop::run() {
  epoll_event events[kEventsPerTurn];
  while (!stopping_) {
    try {
      retired_.reserve(owned_.size());
    } catch (...) {
      // retire() then keeps what it cannot move until a later turn.
    }
    const int n = ::epoll_wait(epoll_.get(), events, kEventsPerTurn, wait_ms());
    now_ = Clock::now();
    bool woken = false;
    for (int i = 0; i < n; ++i) {
      const auto* port = static_cast<const Watcher::Port*>(events[i].data.ptr);
      if (port == nullptr) {
        woken = true;
        continue;
      }
      try {
        port->owner->on_io(port->side, events[i].events);
      } catch (...) {
        // A watcher gives up its own work on failure; nothing may end the loop.
      }
    }
    fire_timers();
    if (woken) {
      std::uint64_t count;
      [[maybe_unused]] const ssize_t r = ::read(wake_.get(), &count, sizeof count);
      run_tasks();
    }
    retired_.clear();
  }
}

void Loop::fire_timers() {
  while (!timers_.empty() && timers_.top().when <= now_) {
    const std::uint64_t id = timers_.top().id;
    timers_.pop();
    auto it = armed_.find(id);
    if (it == armed_.end()) continue;
    Watcher* watcher = it->second;
    armed_.erase(it);
    try {
      watcher->on_timer();
    } catch (...) {
    }
  }
}

void Loop::run_tasks() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard lock(tasks_mutex_);
    tasks.swap(tasks_);
  }
  for (auto& task : tasks) {
    try {
      task();
    } catch (...) {
    }
  }
}

}  // namespace tarnwicket
