#include "server/run_loop.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "gateway/gateway.h"
#include "server/notify.h"

namespace tarnwicket {

namespace {

// The only state shared with the signal handler. The handler only records the
// request; the main thread's wait loop calls stop(), because stop() takes locks
// and joins threads, which is never safe inside a handler.
std::atomic<Gateway*> active_gateway{nullptr};
volatile std::sig_atomic_t stop_requested = 0;
static_assert(std::atomic<Gateway*>::is_always_lock_free);

constexpr long kWaitStepNanos = 250'000'000;

void on_signal(int /*signo*/) {
  if (active_gateway.load() != nullptr) stop_requested = 1;
}

// Makes the gateway visible to on_signal for exactly its own lifetime.
class ActiveGateway {
 public:
  explicit ActiveGateway(Gateway& gateway) {
    stop_requested = 0;
    active_gateway.store(&gateway);
  }
  ~ActiveGateway() { active_gateway.store(nullptr); }
  ActiveGateway(const ActiveGateway&) = delete;
  ActiveGateway& operator=(const ActiveGateway&) = delete;
};

// Blocks SIGINT and SIGTERM in the calling thread while it lives. Threads
// started meanwhile inherit the mask, so these signals can only ever reach
// the main thread; one that arrives meanwhile stays pending until the
// destructor restores the mask.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &previous_);
  }
  ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

// Sleeps one wait step; a signal that asks for a stop ends it early.
void sleep_one_step() {
  timespec step{0, kWaitStepNanos};
  timespec left{};
  while (nanosleep(&step, &left) != 0) {
    if (errno != EINTR || stop_requested != 0) return;
    step = left;
  }
}

}  // namespace

void run_server(const ServerConfig& config) {
  Gateway gateway(config);
  // Declared after the gateway, so it is cleared before the gateway is
  // destroyed, on the failure path too.
  ActiveGateway active(gateway);
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  {
    StopSignalsBlocked blocked;
    gateway.start();
  }
  gateway.logger().plain("server started; press Ctrl+C to stop");
  notify_ready();
  while (gateway.running()) {
    if (stop_requested != 0) {
      notify_stopping();
      gateway.stop();
    } else {
      sleep_one_step();
    }
  }
}

}  // namespace tarnwicket
