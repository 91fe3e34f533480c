#pragma once

// The relay engine: one record per enabled route, its listeners and workers.
//
// Who closes what:
//  - tcp_fd and udp_fd: opened by start(); stop() shuts them down to wake their
//    threads and closes them only after every thread that uses them is joined.
//  - an accepted client socket and its upstream socket: owned by the client
//    thread through a ListedFd on client_fds, which stop() shuts down.
//  - an association's upstream socket: shut down by its response thread or by
//    stop(), closed once by the association's destructor, when the last user
//    (table, response thread, a datagram being forwarded) lets go of it.
// Lock order: udp_mutex may be held while a ThreadGroup's or an FdList's own
// mutex is taken; the logger's mutex is always taken last.

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
#include "gateway/admission.h"
#include "gateway/route_stats.h"
#include "gateway/socket_util.h"
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
    ~UdpAssociation();  // closes upstream_fd, gives back its address count

    std::string key;
    std::string address;              // the client's address_key, when counted per address
    AddressCounts* counts = nullptr;  // where `address` is counted
    int upstream_fd = -1;  // connected to the upstream; fixed while the association lives
    sockaddr_storage client_addr{};
    socklen_t client_addr_len = 0;
    sockaddr_storage
        local_addr{};          // where the client sent to; replies leave from it (wildcard sockets)
    std::string proxy_prefix;  // sent upstream before every datagram; empty: none
  };

  struct RouteRuntime {
    explicit RouteRuntime(const ServerRoute& r);

    const ServerRoute route;
    int tcp_fd = -1;
    int udp_fd = -1;
    bool udp_wildcard = false;  // udp_fd is bound to 0.0.0.0 or :: and reports destinations
    std::atomic<std::int32_t> available_slots;
    std::thread tcp_thread;
    std::thread udp_thread;

    FdList client_fds;  // client and upstream sockets
    ThreadGroup client_threads;

    std::mutex udp_mutex;
    std::map<std::string, std::shared_ptr<UdpAssociation>, std::less<>>
        associations;  // guarded by udp_mutex
    ThreadGroup udp_threads;

    std::vector<IpNetwork> allow;  // empty: everyone
    AddressCounts tcp_addresses;   // with max_connections_per_address only
    AddressCounts udp_addresses;
    RefusalTally per_address_refusals;  // TCP and UDP together, for the log
    RefusalTally allow_refusals;
    RouteStats stats;
    std::vector<IpNetwork> trusted_proxies;  // with accept_proxy_protocol
    RefusalTally bad_proxy_header_refusals;
    RefusalTally untrusted_proxy_refusals;
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
  // Everything the process writes to standard output while the gateway lives
  // goes through here, so that it keeps its order with the log lines.
  Logger& logger() { return logger_; }
  // Every listener is open, the gateway runs and is not draining.
  bool ready() const { return ready_.load() && running_.load() && !draining_.load(); }

 private:
  void open_route(RouteRuntime& rt, const sockaddr_storage& address);
  void stop_locked();

  // TCP relay (tcp_relay.cpp).
  void accept_loop(RouteRuntime* rt);
  // Whether a new client from this address may come in; counts the refusal.
  bool admit(RouteRuntime& rt, const sockaddr_storage& from, AddressCounts& counts,
             const std::string& address, Counter& refused_per_address, Counter& refused_allow);
  // Hands an admitted client with its slot to a new thread; on failure gives
  // the slot and the address count back, closes the client and throws.
  void spawn_client(RouteRuntime& rt, UniqueFd client, std::string address,
                    const sockaddr_storage& from);
  void handle_client(RouteRuntime& rt, ListedFd client, std::string address, sockaddr_storage from);
  // For a route that accepts the PROXY protocol: reads the header, then admits
  // the client it names (into `from`, its counted `address`); false when the
  // client is refused, which is counted.
  bool admit_proxied(RouteRuntime& rt, int client_fd, std::string& address, sockaddr_storage& from);
  // Connected, and with the route's PROXY header for `from` -> `local` sent.
  ListedFd connect_upstream(RouteRuntime& rt, const sockaddr_storage& from,
                            const sockaddr_storage& local);
  void relay(int client_fd, int upstream_fd, const std::string& route_name, RouteStats& stats);

  // UDP relay (udp_relay.cpp).
  void udp_loop(RouteRuntime* rt);
  std::shared_ptr<UdpAssociation> find_association(RouteRuntime& rt, std::string_view key);
  // A new association filed in the table with its thread running, or null
  // when the client is refused (counted and logged).
  // `from` as received (replies go there), `client` the same with IPv4 unmapped.
  std::shared_ptr<UdpAssociation> new_association(RouteRuntime& rt, std::string_view key,
                                                  const sockaddr_storage& from, socklen_t from_len,
                                                  const sockaddr_storage& client,
                                                  const sockaddr_storage& destination);
  int connect_upstream_udp(const ServerRoute& route, RouteStats& stats);
  void udp_response_loop(RouteRuntime* rt, const std::shared_ptr<UdpAssociation>& association);

  // Writes the refusals tallied since the last call, one line per route and reason.
  void log_refusals();
  // While running: log_refusals() once a second.
  void refusal_log_loop();

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

  std::thread refusal_log_thread_;  // only when a route can refuse clients beyond its limit
  std::mutex lifecycle_mutex_;      // start() and stop() never overlap
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;

  std::unique_ptr<AdminServer> admin_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> draining_{false};  // set while connections are being drained
};

}  // namespace tarnwicket
