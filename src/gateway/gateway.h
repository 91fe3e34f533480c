#pragma once

// The gateway's lifecycle: start, stop, reload, drain, ready and idle. Each
// enabled route has a record (route.h) served by the engine the
// configuration names (engine.h); docs/design.md walks through both.
//
// A route that a reload removes or moves is retired: its listeners and
// associations end at once, its TCP connections go on, and the record is
// destroyed by the main thread once the last of them has ended.
// Lock order: lifecycle_mutex_, then routes_mutex_, then a route's or an
// engine's own locks; the logger's mutex is always taken last.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/server_config.h"
#include "gateway/engine.h"
#include "gateway/route.h"
#include "gateway/run_state.h"
#include "log/logger.h"
#include "log/session_log.h"

namespace tarnwicket {

class AdminServer;

class Gateway {
 public:
  explicit Gateway(ServerConfig config);  // validates again; throws its message
  ~Gateway();                             // stops if still running
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Opens every listener and starts the workers; throws with the user-facing
  // message after stopping what it had opened. Does nothing when running.
  void start();
  // Acts once per run: wakes and joins every thread, then logs "server stopped".
  void stop();
  // Applies a validated configuration to the running gateway, all or nothing:
  // throws the user-facing message and keeps everything as it was when a step
  // fails. Logs the summary line on success.
  void reload(ServerConfig next);
  // Counts a reload that failed before it reached the gateway (the file could not be read).
  void reload_failed();
  // Closes every TCP listener and stops making UDP associations; existing
  // connections and associations go on. Acts once per run.
  void drain();
  bool draining() const { return run_.draining(); }
  // No TCP connection and no UDP association is left.
  bool idle();
  // TCP connections and UDP associations open now, retired routes' included.
  std::pair<std::int64_t, std::int64_t> open_clients();
  int drain_timeout_ms() const { return config_.drain_timeout_ms; }
  // Enabled routes being served now (retired ones not counted).
  std::size_t route_count();
  // Destroys the retired routes whose last connection has ended.
  void reap_retired();
  bool running() const { return run_.running(); }
  // Everything the process writes to standard output while the gateway lives
  // goes through here, so that it keeps its order with the log lines.
  Logger& logger() { return logger_; }
  SessionLog& session_log() { return session_log_; }
  // Every listener is open, the gateway runs and is not draining.
  bool ready() const { return ready_.load() && run_.running() && !run_.draining(); }

 private:
  using Routes = std::vector<std::unique_ptr<Route>>;

  // Opens the route's listeners and has the engine serve them; throws the
  // start-up message, leaving what it opened to the caller's clean-up.
  void serve(Route& route, const sockaddr_storage& address, const std::string& listen_address);
  // The engine stops using the route's listeners, which then close.
  static void close_listeners(Route& route);
  void stop_locked();
  void reap_retired_locked();
  void start_refusal_log_if_needed(const ServerConfig& config);
  // The session log `config` asks for, opened; throws its message.
  SessionLog::Next prepare_session_log(const ServerConfig& config) const;
  // Writes the refusals counted since the last call, one line per route and reason.
  void log_refusals();
  void refusal_log_loop();

  // gateway_reload.cpp: the reload itself, the steps that may fail, and their undoing.
  void apply(ServerConfig next);
  void record_reload(bool applied);
  static double seconds_since_epoch();
  void open_next_admin(const ServerConfig& next, std::unique_ptr<AdminServer>& previous);
  // `previous_admin`: null when the admin listener was not to move.
  void roll_back(Routes& opened, const std::vector<std::size_t>& displaced,
                 std::unique_ptr<AdminServer>* previous_admin);

  // gateway_admin.cpp: the admin listener of `config`, serving; throws the start-up message.
  std::unique_ptr<AdminServer> open_admin(const ServerConfig& config);
  std::string render_metrics() const;

  ServerConfig config_;  // read and replaced by the main thread only
  Logger logger_;
  SessionLog session_log_{logger_};  // before the routes, which point at it
  RunState run_;
  std::unique_ptr<Engine> engine_;
  // Written under both lifecycle_mutex_ and routes_mutex_; read under either.
  Routes routes_;
  Routes retired_;  // listeners closed, connections going on
  // What reaped records of a route name had counted; guarded like routes_.
  std::map<std::string, std::unique_ptr<RouteStats>, std::less<>> reaped_;
  mutable std::mutex routes_mutex_;

  std::thread refusal_log_thread_;  // only when a route can refuse clients beyond its limit
  std::mutex lifecycle_mutex_;      // start(), stop(), reload() and drain() never overlap
  std::unique_ptr<AdminServer> admin_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> last_reload_ok_{true};
  std::atomic<double> last_reload_success_{0};  // seconds since the epoch
  Counter reloads_[2];                          // succeeded, failed
};

}  // namespace tarnwicket
