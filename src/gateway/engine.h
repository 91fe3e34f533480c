#pragma once

// The seam between the gateway's lifecycle and a relay engine. The gateway
// opens and closes a route's listeners and decides what a reload does; an
// engine serves the listeners it is given, admits each client through the
// route's Admission and relays it. An engine knows nothing of metrics text,
// HTTP or INI files.

#include <memory>
#include <string_view>

namespace tarnwicket {

class Logger;
class Route;
class RunState;
struct ServerConfig;

// An engine's relay of one route.
class RouteRelay {
 public:
  virtual ~RouteRelay() = default;  // every worker has ended by then

  // Starts serving the route's open listeners. Throws std::system_error when
  // no worker can be made; what it had started is stopped by then.
  virtual void start() = 0;
  // The gateway stops: every call blocked on the route's listeners and
  // associations returns soon. Connections are ended by end_connections().
  virtual void wake() = 0;
  // Once these return, nothing of the engine uses the TCP listener, or the
  // UDP socket; the UDP one has ended every association first. Connections
  // go on.
  virtual void stop_accepting() = 0;
  virtual void stop_receiving() = 0;
  // Ends every TCP connection of the route and waits for them.
  virtual void end_connections() = 0;
  // No connection is left to end: a retired route may be destroyed.
  virtual bool finished() = 0;
};

class Engine {
 public:
  virtual ~Engine() = default;
  virtual std::unique_ptr<RouteRelay> relay(Route& route) = 0;
};

// The engine that `config` names, working for the gateway's run state and log.
std::unique_ptr<Engine> make_engine(const ServerConfig& config, RunState& run, Logger& logger);

}  // namespace tarnwicket
