#pragma once

// The event engine: a fixed set of loops (loop.h), each a thread with an
// epoll set, serve every route. A route's TCP listener is watched by every
// loop (EPOLLEXCLUSIVE), and a client lives on the loop that accepted it; a
// route's UDP socket is read by one loop, and each association's upstream
// socket is watched by a loop of its own choosing. The relay rules, log lines
// and counts are those of the thread engine (threads/), which is the
// reference.
//
// Who closes what: a TCP client and its upstream socket are ListedFds on
// fds_, owned by their session, which wake() and end_connections() shut down;
// the loop then sees the hang-up and the session ends as it would on the
// thread engine. An association's upstream socket is owned by the
// association, shared with the loop reading the route's socket while it
// sends one datagram.
// Lock order: udp_mutex_, sessions_mutex_, then the leaf locks of FdList,
// AddressCounts and a Loop's task queue; the logger's always last.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/engine.h"
#include "gateway/route.h"
#include "net/fd.h"

namespace tarnwicket {

class Loop;
class TcpListener;
class UdpListener;
class UdpAssociation;

class EventEngine final : public Engine {
 public:
  // `workers`: how many loops; 0: one per CPU the process may run on.
  EventEngine(RunState& run, Logger& logger, int workers);
  ~EventEngine() override;
  std::unique_ptr<RouteRelay> relay(Route& route) override;

  // Starts the loops on the first call; throws std::system_error when they
  // cannot all be made.
  const std::vector<std::unique_ptr<Loop>>& loops();
  // The loops if started, else none; never starts them.
  const std::vector<std::unique_ptr<Loop>>& started_loops();
  // Turn by turn, for whatever is not tied to a loop.
  Loop& next_loop();
  // The same, but never `busy` while there is another.
  Loop& next_loop_but(const Loop& busy);

 private:
  RunState& run_;
  Logger& logger_;
  int workers_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Loop>> loops_;  // fixed once started
  std::atomic<unsigned> turn_{0};
};

class EventRelay final : public RouteRelay {
 public:
  EventRelay(EventEngine& engine, Route& route, RunState& run, Logger& logger);
  ~EventRelay() override;

  void start() override;
  void wake() override;
  void stop_accepting() override;
  void stop_receiving() override;
  void end_connections() override;
  bool finished() override;

  // For the sessions and listeners.
  Route& route() { return route_; }
  RunState& run() { return run_; }
  Logger& logger() { return logger_; }
  EventEngine& engine() { return engine_; }
  FdList& fds() { return fds_; }
  bool accepting() const;  // the gateway runs and the TCP listener is not closing
  bool receiving() const;  // the same for the UDP socket
  void session_began();
  void session_ended();

  // The UDP table (udp_session.cpp).
  std::shared_ptr<UdpAssociation> find_association(std::string_view key);
  // False when a stop, a drain or the route's closing has begun.
  bool file_association(const std::shared_ptr<UdpAssociation>& association);
  void forget_association(UdpAssociation& association);
  // Takes a filed association out of the table and gives its place back at
  // once; its own loop then ends it. False when it had ended already.
  bool evict_association(const std::shared_ptr<UdpAssociation>& association);

 private:
  // Runs `task` on every loop and waits for all of them.
  void on_every_loop(const std::function<void(Loop&, std::size_t)>& task);
  void shut_down_associations();

  EventEngine& engine_;
  Route& route_;
  RunState& run_;
  Logger& logger_;
  std::atomic<bool> accepting_{false};
  std::atomic<bool> receiving_{false};
  std::vector<std::shared_ptr<TcpListener>> tcp_listeners_;  // one per loop while accepting
  std::shared_ptr<UdpListener> udp_listener_;
  FdList fds_;

  std::mutex sessions_mutex_;
  std::condition_variable sessions_done_;
  int sessions_ = 0;  // TCP sessions not yet destroyed; guarded by sessions_mutex_

  std::mutex udp_mutex_;
  std::map<std::string, std::shared_ptr<UdpAssociation>, std::less<>>
      associations_;  // guarded by udp_mutex_
  // Out of the table, not yet ended on their loops; guarded by udp_mutex_.
  std::vector<std::shared_ptr<UdpAssociation>> evicted_;
};

}  // namespace tarnwicket
