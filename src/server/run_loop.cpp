#include "server/run_loop.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>

#include "config/server_config.h"
#include "gateway/gateway.h"
#include "server/notify.h"

namespace tarnwicket {

namespace {

// The only state shared with the signal handler. The handler only records the
// request; the main thread's wait loop acts on it, because stopping, reloading
// and draining take locks and join threads, which is never safe inside a handler.
std::atomic<Gateway*> active_gateway{nullptr};
volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t reload_requested = 0;
volatile std::sig_atomic_t drain_requested = 0;
static_assert(std::atomic<Gateway*>::is_always_lock_free);

constexpr long kWaitStepNanos = 250'000'000;
constexpr int kControlSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void on_signal(int signo) {
  if (active_gateway.load() == nullptr) return;
  if (signo == SIGHUP) {
    reload_requested = 1;
  } else if (signo == SIGQUIT) {
    drain_requested = 1;
  } else {
    stop_requested = 1;
  }
}

bool any_request() { return stop_requested != 0 || reload_requested != 0 || drain_requested != 0; }

// Makes the gateway visible to on_signal for exactly its own lifetime.
class ActiveGateway {
 public:
  explicit ActiveGateway(Gateway& gateway) {
    stop_requested = 0;
    reload_requested = 0;
    drain_requested = 0;
    active_gateway.store(&gateway);
  }
  ~ActiveGateway() { active_gateway.store(nullptr); }
  ActiveGateway(const ActiveGateway&) = delete;
  ActiveGateway& operator=(const ActiveGateway&) = delete;
};

// Blocks the control signals in the calling thread while it lives. Threads
// started meanwhile inherit the mask, so these signals can only ever reach
// the main thread; one that arrives meanwhile stays pending until the
// destructor restores the mask.
class ControlSignalsBlocked {
 public:
  ControlSignalsBlocked() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signo : kControlSignals) sigaddset(&signals, signo);
    pthread_sigmask(SIG_BLOCK, &signals, &previous_);
  }
  ~ControlSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  ControlSignalsBlocked(const ControlSignalsBlocked&) = delete;
  ControlSignalsBlocked& operator=(const ControlSignalsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

// Sleeps one wait step; a signal that asks for something ends it early.
void sleep_one_step() {
  timespec step{0, kWaitStepNanos};
  timespec left{};
  while (nanosleep(&step, &left) != 0) {
    if (errno != EINTR || any_request()) return;
    step = left;
  }
}

// A failed reload changes nothing and says why.
void reload(Gateway& gateway, const std::filesystem::path& config_path) {
  ControlSignalsBlocked blocked;  // the reload may start threads
  try {
    gateway.reload(load_server_config(config_path));
  } catch (const std::exception& e) {
    gateway.logger().warn("configuration reload failed: ", e.what());
  }
}

}  // namespace

void run_server(const ServerConfig& config, const std::filesystem::path& config_path) {
  Gateway gateway(config);
  // Declared after the gateway, so it is cleared before the gateway is
  // destroyed, on the failure path too.
  ActiveGateway active(gateway);
  for (int signo : kControlSignals) std::signal(signo, on_signal);
  {
    ControlSignalsBlocked blocked;
    gateway.start();
  }
  gateway.logger().plain("server started; press Ctrl+C to stop");
  notify_ready();
  std::chrono::steady_clock::time_point drain_deadline;
  const auto drain_over = [&] {
    return gateway.draining() &&
           (gateway.idle() || std::chrono::steady_clock::now() >= drain_deadline);
  };
  while (gateway.running()) {
    if (stop_requested != 0 || drain_over()) {
      notify_stopping();
      gateway.stop();
    } else if (reload_requested != 0) {
      // Cleared first: a SIGHUP during the reload asks for one more after it.
      reload_requested = 0;
      // A draining gateway is on its way out: it opens nothing new.
      if (gateway.draining()) continue;
      notify_reloading();
      reload(gateway, config_path);
      notify_ready();  // applied or failed, the gateway serves again
    } else if (drain_requested != 0) {
      drain_requested = 0;
      if (gateway.draining()) continue;
      notify_stopping();
      gateway.drain();
      drain_deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(gateway.drain_timeout_ms());
    } else {
      gateway.reap_retired();
      sleep_one_step();
    }
  }
}

}  // namespace tarnwicket
