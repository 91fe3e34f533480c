#include "gateway/threads/thread_engine.h"

#include <pthread.h>

#include "gateway/run_state.h"
#include "net/fd.h"

namespace tarnwicket {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers need room for their frames.
constexpr std::size_t kWorkerStackBytes = std::size_t{1024} * 1024;
#else
// Room for a 64 KiB relay buffer plus the resolver; only touched pages cost memory.
constexpr std::size_t kWorkerStackBytes = std::size_t{256} * 1024;
#endif

// Thousands of connections with two threads each do not fit in 8 MiB stacks.
void use_modest_thread_stacks() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) != 0) return;
    if (pthread_attr_setstacksize(&attr, kWorkerStackBytes) == 0) {
      pthread_setattr_default_np(&attr);
    }
    pthread_attr_destroy(&attr);
  });
}

}  // namespace

ThreadEngine::ThreadEngine(RunState& run, Logger& logger) : run_(run), logger_(logger) {
  use_modest_thread_stacks();
}

std::unique_ptr<RouteRelay> ThreadEngine::relay(Route& route) {
  return std::make_unique<ThreadRelay>(route, run_, logger_);
}

ThreadRelay::ThreadRelay(Route& route, RunState& run, Logger& logger)
    : route_(route), run_(run), logger_(logger) {}

ThreadRelay::~ThreadRelay() {
  wake();
  stop_accepting();
  stop_receiving();
  end_connections();
}

bool ThreadRelay::serving(const std::atomic<bool>& listener) const {
  return run_.running() && listener.load();
}

void ThreadRelay::start() {
  if (route_.tcp_fd >= 0 && !tcp_thread_.joinable()) {
    accepting_ = true;
    tcp_thread_ = std::thread(&ThreadRelay::accept_loop, this);
  }
  if (route_.udp_fd >= 0 && !udp_thread_.joinable()) {
    receiving_ = true;
    try {
      udp_thread_ = std::thread(&ThreadRelay::udp_loop, this);
    } catch (...) {
      stop_accepting();
      throw;
    }
  }
}

void ThreadRelay::wake() {
  shutdown_fd(route_.tcp_fd);
  shutdown_fd(route_.udp_fd);
  shut_down_associations();
  client_fds_.shutdown_all();
}

void ThreadRelay::stop_accepting() {
  accepting_ = false;
  shutdown_fd(route_.tcp_fd);
  if (tcp_thread_.joinable()) tcp_thread_.join();
}

void ThreadRelay::stop_receiving() {
  // Set before the table is walked: new_association files nothing after it.
  receiving_ = false;
  shutdown_fd(route_.udp_fd);
  shut_down_associations();
  if (udp_thread_.joinable()) udp_thread_.join();
  // Response threads send replies from the UDP socket until joined.
  udp_threads_.join_all();
}

void ThreadRelay::end_connections() {
  client_fds_.shutdown_all();
  client_threads_.join_all();
}

}  // namespace tarnwicket
