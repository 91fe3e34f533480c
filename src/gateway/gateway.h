#pragma once

// The relay engine: one record per enabled route, its listeners and workers.
//
// Who closes what:
//  - tcp_fd and udp_fd: opened by start(); stop() shuts them down to wake their
//    threads and closes them only after every thread that uses them is joined.
//  - an accepted client socket and its upstream socket: owned by the client
//    thread, which lists both in client_fds and removes each (under
//    tcp_mutex) before closing it, so stop() only ever shuts down live sockets.
//  - an association's upstream socket: shut down by its response thread or by
//    stop(), closed once by the association's destructor, when the last user
//    (table, response thread, a datagram being forwarded) lets go of it.
// Lock order: tcp_mutex and udp_mutex are never held together; a ThreadGroup's
// own mutex may be taken under them; the logger's mutex is always taken last.

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/server_config.h"
#include "gateway/route_stats.h"
#include "gateway/thread_group.h"
#include "log/logger.h"

namespace tarnwicket {

class AdminServer;

class Gateway {
 public:
  // One UDP client (address and port) of one route.
  struct UdpAssociation {
    UdpAssociation() = default;
    UdpAssociation(const UdpAssociation&) = delete;
    UdpAssociation& operator=(const UdpAssociation&) = delete;
    ~UdpAssociation();  // closes upstream_fd

    std::string key;
    int upstream_fd = -1;  // connected to the upstream; fixed while the association lives
    sockaddr_storage client_addr{};
    socklen_t client_addr_len = 0;
  };

  struct RouteRuntime {
    explicit RouteRuntime(const ServerRoute& r) : route(r), available_slots(r.max_connections) {}

    const ServerRoute route;
    int tcp_fd = -1;
    int udp_fd = -1;
    std::atomic<std::int32_t> available_slots;
    std::thread tcp_thread;
    std::thread udp_thread;

    std::mutex tcp_mutex;
    std::vector<int> client_fds;  // client and upstream sockets; guarded by tcp_mutex
    ThreadGroup client_threads;

    std::mutex udp_mutex;
    std::map<std::string, std::shared_ptr<UdpAssociation>, std::less<>>
        associations;  // guarded by udp_mutex
    ThreadGroup udp_threads;

    RouteStats stats;
  };

  explicit Gateway(ServerConfig config);  // validates again; throws its message
  ~Gateway();                             // stops if still running
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Opens every listener and starts the workers; throws with the user-facing
  // message after stopping what it had opened. Does nothing when running.
  void start();
  // Acts once per run: wakes and joins every thread, then logs "server stopped".
  void stop();
  bool running() const { return running_.load(); }
  // Every listener is open, the gateway runs and is not draining.
  bool ready() const { return ready_.load() && running_.load() && !draining_.load(); }

 private:
  void open_route(RouteRuntime& rt, std::uint32_t address);
  void stop_locked();

  // TCP relay (tcp_relay.cpp).
  void accept_loop(RouteRuntime* rt);
  void handle_client(RouteRuntime* rt, int client_fd);
  int connect_upstream(const ServerRoute& route, RouteStats& stats);
  void relay(int client_fd, int upstream_fd, const std::string& route_name, RouteStats& stats);

  // UDP relay (udp_relay.cpp).
  void udp_loop(RouteRuntime* rt);
  int connect_upstream_udp(const ServerRoute& route, RouteStats& stats);
  void udp_response_loop(RouteRuntime* rt, const std::shared_ptr<UdpAssociation>& association);

  // Sleeps for the pause unless stop() begins first; for back-off after a
  // resource failure, so that stop is never held up by it.
  void pause_unless_stopping(std::chrono::milliseconds pause);

  // Admin listener (gateway_admin.cpp).
  void open_admin(std::uint32_t address);
  std::string render_metrics() const;

  ServerConfig config_;
  Logger logger_;
  std::atomic<bool> running_{false};
  std::vector<std::unique_ptr<RouteRuntime>> routes_;

  std::mutex lifecycle_mutex_;  // start() and stop() never overlap
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;

  std::unique_ptr<AdminServer> admin_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> draining_{false};  // set while connections are being drained
};

}  // namespace tarnwicket
