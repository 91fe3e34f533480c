#include "gateway/events/event_engine.h"

#include <fcntl.h>
#include <sched.h>

#include "gateway/events/loop.h"
#include "gateway/events/tcp_session.h"
#include "gateway/events/udp_session.h"
#include "gateway/run_state.h"

namespace tarnwicket {

namespace {

int cpus_available() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

EventEngine::EventEngine(RunState& run, Logger& logger, int workers)
    : run_(run), logger_(logger), workers_(workers > 0 ? workers : cpus_available()) {}

EventEngine::~EventEngine() = default;  // every route's relay has ended by then

std::unique_ptr<RouteRelay> EventEngine::relay(Route& route) {
  return std::make_unique<EventRelay>(*this, route, run_, logger_);
}

const std::vector<std::unique_ptr<Loop>>& EventEngine::loops() {
  std::lock_guard lock(mutex_);
  if (!loops_.empty()) return loops_;
  std::vector<std::unique_ptr<Loop>> made;
  made.reserve(static_cast<std::size_t>(workers_));
  for (int i = 0; i < workers_; ++i) {
    made.push_back(std::make_unique<Loop>());
    made.back()->start();  // those already started are joined if a later one fails
  }
  loops_ = std::move(made);
  return loops_;
}

const std::vector<std::unique_ptr<Loop>>& EventEngine::started_loops() {
  std::lock_guard lock(mutex_);
  return loops_;
}

Loop& EventEngine::next_loop() {
  return *loops_[turn_.fetch_add(1, std::memory_order_relaxed) % loops_.size()];
}

Loop& EventEngine::next_loop_but(const Loop& busy) {
  Loop& loop = next_loop();
  return &loop != &busy || loops_.size() == 1 ? loop : next_loop_but(busy);
}

EventRelay::EventRelay(EventEngine& engine, Route& route, RunState& run, Logger& logger)
    : engine_(engine), route_(route), run_(run), logger_(logger) {}

EventRelay::~EventRelay() {
  // Closing, before the wake-up: the listeners' loops then stop without a warning.
  accepting_ = false;
  receiving_ = false;
  wake();
  stop_accepting();
  stop_receiving();
  end_connections();
}

bool EventRelay::accepting() const { return run_.running() && accepting_.load(); }

bool EventRelay::receiving() const { return run_.running() && receiving_.load(); }

void EventRelay::start() {
  const auto& loops = engine_.loops();
  if (route_.tcp_fd >= 0 && tcp_listeners_.empty()) {
    set_nonblocking(route_.tcp_fd);
    for (const auto& loop : loops) {
      tcp_listeners_.push_back(std::make_shared<TcpListener>(*this, *loop));
    }
    accepting_ = true;
    on_every_loop([this](Loop&, std::size_t i) { tcp_listeners_[i]->listen(); });
  }
  if (route_.udp_fd >= 0 && !udp_listener_) {
    try {
      set_nonblocking(route_.udp_fd);
      udp_listener_ = std::make_shared<UdpListener>(*this, engine_.next_loop());
      receiving_ = true;
      udp_listener_->loop().run_and_wait([this] { udp_listener_->listen(); });
    } catch (...) {
      stop_accepting();
      throw;
    }
  }
}

void EventRelay::wake() {
  // As on the thread engine: every socket the loops wait on reports a
  // hang-up, and each session ends the way it would there.
  shutdown_fd(route_.tcp_fd);
  shutdown_fd(route_.udp_fd);
  shut_down_associations();
  fds_.shutdown_all();
}

void EventRelay::stop_accepting() {
  accepting_ = false;
  shutdown_fd(route_.tcp_fd);
  if (tcp_listeners_.empty()) return;
  on_every_loop([this](Loop&, std::size_t i) { tcp_listeners_[i]->close(); });
  tcp_listeners_.clear();
}

void EventRelay::stop_receiving() {
  // Set before the table is walked: the listener files nothing after it.
  receiving_ = false;
  shutdown_fd(route_.udp_fd);
  shut_down_associations();
  if (udp_listener_) {
    udp_listener_->loop().run_and_wait([this] { udp_listener_->close(); });
    udp_listener_.reset();
  }
  // Replies leave from the route's socket: every association ends on its own loop first.
  on_every_loop([this](Loop& loop, std::size_t) {
    std::vector<std::shared_ptr<UdpAssociation>> mine;
    {
      std::lock_guard lock(udp_mutex_);
      for (auto& entry : associations_) {
        if (&entry.second->loop() == &loop) mine.push_back(entry.second);
      }
      for (auto& association : evicted_) {
        if (&association->loop() == &loop) mine.push_back(association);
      }
    }
    for (auto& association : mine) association->end(cut_end(run_));
  });
}

void EventRelay::end_connections() {
  fds_.shutdown_all();
  std::unique_lock lock(sessions_mutex_);
  sessions_done_.wait(lock, [this] { return sessions_ == 0; });
}

bool EventRelay::finished() {
  std::lock_guard lock(sessions_mutex_);
  return sessions_ == 0;
}

void EventRelay::session_began() {
  std::lock_guard lock(sessions_mutex_);
  ++sessions_;
}

void EventRelay::session_ended() {
  std::lock_guard lock(sessions_mutex_);
  if (--sessions_ == 0) sessions_done_.notify_all();
}

std::shared_ptr<UdpAssociation> EventRelay::find_association(std::string_view key) {
  std::lock_guard lock(udp_mutex_);
  auto it = associations_.find(key);
  return it == associations_.end() ? nullptr : it->second;
}

bool EventRelay::file_association(const std::shared_ptr<UdpAssociation>& association) {
  std::lock_guard lock(udp_mutex_);
  if (!receiving() || run_.draining()) return false;
  associations_.emplace(association->key, association);
  return true;
}

void EventRelay::forget_association(UdpAssociation& association) {
  std::lock_guard lock(udp_mutex_);
  auto it = associations_.find(association.key);
  if (it != associations_.end() && it->second.get() == &association) {
    associations_.erase(it);
  } else {
    std::erase_if(evicted_, [&](const auto& entry) { return entry.get() == &association; });
  }
  association.ticket.release();
}

bool EventRelay::evict_association(const std::shared_ptr<UdpAssociation>& association) {
  std::lock_guard lock(udp_mutex_);
  if (!evict_filed(associations_, association, route_.stats.udp().evicted)) return false;
  evicted_.push_back(association);  // until its loop has ended it
  return true;
}

void EventRelay::shut_down_associations() {
  std::lock_guard lock(udp_mutex_);
  for (auto& entry : associations_) shutdown_fd(entry.second->upstream.get());
}

void EventRelay::on_every_loop(const std::function<void(Loop&, std::size_t)>& task) {
  const auto& loops = engine_.started_loops();
  for (std::size_t i = 0; i < loops.size(); ++i) {
    Loop& loop = *loops[i];
    loop.run_and_wait([&] { task(loop, i); });
  }
}

}  // namespace tarnwicket
