#include "server/run_loop.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include "config/server_config.h"
#include "gateway/gateway.h"
#include "server/notify.h"

namespace tarnwicket {

namespace {

constexpr long kWaitStepNanos = 250'000'000;
constexpr std::chrono::seconds kStatusPeriod{5};
constexpr int kControlSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What the control signals asked for and the loop has not done yet.
struct Requests {
  bool stop = false;
  bool reload = false;
  bool drain = false;
};

sigset_t control_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signo : kControlSignals) sigaddset(&signals, signo);
  return signals;
}

// Waits one step at most, and ends it as soon as a control signal comes;
// records every signal that is pending by then.
void wait_one_step(const sigset_t& signals, Requests& requests) {
  timespec wait{0, kWaitStepNanos};
  for (int signo; (signo = sigtimedwait(&signals, nullptr, &wait)) > 0; wait = {}) {
    if (signo == SIGHUP) {
      requests.reload = true;
    } else if (signo == SIGQUIT) {
      requests.drain = true;
    } else {
      requests.stop = true;
    }
  }
}

// A failed reload changes nothing and says why.
void reload(Gateway& gateway, const std::filesystem::path& config_path) {
  bool loaded = false;
  try {
    ServerConfig next = load_server_config(config_path);
    loaded = true;
    gateway.reload(std::move(next));
  } catch (const std::exception& e) {
    if (!loaded) gateway.reload_failed();  // the gateway counts its own failures
    gateway.logger().warn("configuration reload failed: ", e.what());
  }
}

// A drain that reached its time-out says whom the stop cuts.
void report_drain_cut(Gateway& gateway) {
  const auto [tcp, udp] = gateway.open_clients();
  if (tcp == 0 && udp == 0) return;
  gateway.logger().warn("drain timed out: ", std::to_string(tcp), " TCP connections and ",
                        std::to_string(udp), " UDP associations cut");
}

// What the service manager shows: the gateway's size, or that it drains.
void send_status(Gateway& gateway) {
  if (gateway.draining()) {
    notify_status("draining");
    return;
  }
  const auto [tcp, udp] = gateway.open_clients();
  notify_status(std::to_string(gateway.route_count()) + " routes, " + std::to_string(tcp) +
                " TCP connections, " + std::to_string(udp) + " UDP associations");
}

}  // namespace

void block_control_signals() {
  const sigset_t signals = control_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void run_server(const ServerConfig& config, const std::filesystem::path& config_path) {
  block_control_signals();  // already, when main did it first
  const sigset_t signals = control_signals();
  Gateway gateway(config);
  gateway.start();
  gateway.logger().plain("server started; press Ctrl+C to stop");
  notify_ready();
  // Without a service manager nothing is counted for it.
  const bool notifying = std::getenv("NOTIFY_SOCKET") != nullptr;  // NOLINT(concurrency-mt-unsafe)
  auto next_status = std::chrono::steady_clock::now();
  Requests requests;
  std::chrono::steady_clock::time_point drain_deadline;
  const auto drain_over = [&] {
    return gateway.draining() &&
           (gateway.idle() || std::chrono::steady_clock::now() >= drain_deadline);
  };
  while (gateway.running()) {
    if (requests.stop || drain_over()) {
      notify_stopping();
      if (!requests.stop && gateway.draining()) report_drain_cut(gateway);
      gateway.stop();
    } else if (requests.reload) {
      // Cleared first: a SIGHUP during the reload asks for one more after it.
      requests.reload = false;
      // A draining gateway is on its way out: it opens nothing new.
      if (gateway.draining()) continue;
      notify_reloading();
      reload(gateway, config_path);
      notify_ready();  // applied or failed, the gateway serves again
    } else if (requests.drain) {
      requests.drain = false;
      if (gateway.draining()) continue;
      notify_stopping();
      gateway.drain();
      if (notifying) send_status(gateway);
      drain_deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(gateway.drain_timeout_ms());
    } else {
      gateway.reap_retired();
      if (notifying && std::chrono::steady_clock::now() >= next_status) {
        send_status(gateway);
        next_status = std::chrono::steady_clock::now() + kStatusPeriod;
      }
      wait_one_step(signals, requests);
    }
  }
}

}  // namespace tarnwicket
