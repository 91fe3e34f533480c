#pragma once

// A route's runtime record: its settings snapshot, its listeners, its
// counters and admission, and the engine's relay of it.
//
// The listeners are plain descriptors that the engine's workers read: the
// main thread opens them before the relay starts serving them and closes
// them only after the relay has stopped using them (stop_accepting,
// stop_receiving), never while a worker may still call on them.

#include <sys/socket.h>

#include <memory>
#include <mutex>
#include <string>

#include "gateway/admission.h"
#include "gateway/engine.h"
#include "gateway/route_settings.h"
#include "gateway/route_stats.h"
#include "gateway/session_recorder.h"

namespace tarnwicket {

class Logger;
class SessionLog;

// Throws the start-up message when the route is transparent and the process
// may not make transparent sockets; before anything of the route serves.
void check_transparent(const ServerRoute& route);

class Route {
 public:
  Route(const ServerRoute& r, const ServerConfig& config);
  ~Route();  // the relay's workers end first, then the listeners close
  Route(const Route&) = delete;
  Route& operator=(const Route&) = delete;

  Settings settings() const;
  void set_settings(Settings next);

  bool serves_tcp() const;
  bool serves_udp() const;
  // Each opens its listener on `address` (its port is ignored) when the
  // route's protocol has it; throws the start-up message.
  void open_tcp(const sockaddr_storage& address);
  void open_udp(const sockaddr_storage& address, Logger& logger);
  // Only once the relay no longer uses them.
  void close_tcp();
  void close_udp();
  // Asks the kernel for the route's UDP receive buffer; warns when it grants less.
  void size_udp_buffer(Logger& logger) const;
  // The route's "server route ... listening" line.
  void log_listening(Logger& logger, const std::string& listen_address) const;

  const std::string name;
  int tcp_fd = -1;
  int udp_fd = -1;
  bool udp_wildcard = false;  // udp_fd is bound to 0.0.0.0 or :: and reports destinations
  RouteStats stats;
  Admission admission{stats};
  SessionLog* session_log = nullptr;  // the gateway's, which outlives every route
  SessionRecorder sessions{name, stats, session_log};
  std::unique_ptr<RouteRelay> relay;  // declared last: destroyed first

 private:
  mutable std::mutex settings_mutex_;  // a leaf lock
  Settings settings_;                  // guarded by settings_mutex_
};

}  // namespace tarnwicket
