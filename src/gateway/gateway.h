#pragma once

// The relay engine: one record per enabled route, its listeners and workers.
//
// Who closes what:
//  - tcp_fd and udp_fd: opened by start() or reload(); closed by the main
//    thread (stop, drain, reload) after shutting them down to wake their
//    threads and joining every thread that uses them.
//  - an accepted client socket and its upstream socket: owned by the client
//    thread through a ListedFd on client_fds, which stop() shuts down.
//  - an association's upstream socket: shut down by its response thread or by
//    the closing of its route, closed once by the association's destructor,
//    when the last user (table, response thread, a datagram being forwarded)
//    lets go of it.
// A route that a reload removes or moves is retired: its listeners and
// associations end at once, its TCP connections go on, and the record is
// destroyed by the main thread once the last of them has ended.
// Lock order: lifecycle_mutex, then routes_mutex, then a route's udp_mutex or
// settings_mutex (never two of a route's at once), then a ThreadGroup's or an
// FdList's own mutex; the logger's mutex is always taken last.

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
#include "gateway/thread_group.h"
#include "log/logger.h"
#include "net/fd.h"

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
    int idle_timeout_ms = 0;   // set on the first reply when the first wait was shorter
  };

  // What new connections and associations of a route go by: taken once by
  // each, kept for its whole life, replaced whole by a reload.
  struct RouteSettings {
    RouteSettings(const ServerRoute& r, const ServerConfig& config);

    ServerRoute route;
    std::vector<IpNetwork> allow;            // empty: everyone
    std::vector<IpNetwork> trusted_proxies;  // with accept_proxy_protocol
    int connection_timeout_ms;
    int udp_idle_timeout_ms;
  };
  using Settings = std::shared_ptr<const RouteSettings>;

  struct RouteRuntime {
    RouteRuntime(const ServerRoute& r, const ServerConfig& config);
    ~RouteRuntime();  // closes the listeners; every thread must be joined by then

    Settings settings() const;
    void set_settings(Settings next);

    const std::string name;
    int tcp_fd = -1;
    int udp_fd = -1;
    bool udp_wildcard = false;          // udp_fd is bound to 0.0.0.0 or :: and reports destinations
    std::atomic<bool> accepting{true};  // false: the TCP listener is closing
    std::atomic<bool> receiving{true};  // false: the UDP listener is closing
    // max_connections minus the open connections; below zero after a reload
    // lowered the limit under what is open.
    std::atomic<std::int32_t> available_slots;
    std::thread tcp_thread;
    std::thread udp_thread;

    FdList client_fds;  // client and upstream sockets
    ThreadGroup client_threads;

    std::mutex udp_mutex;
    std::map<std::string, std::shared_ptr<UdpAssociation>, std::less<>>
        associations;  // guarded by udp_mutex
    ThreadGroup udp_threads;

    AddressCounts tcp_addresses;  // with max_connections_per_address only
    AddressCounts udp_addresses;
    RefusalTally per_address_refusals;  // TCP and UDP together, for the log
    RefusalTally allow_refusals;
    RouteStats stats;
    RefusalTally bad_proxy_header_refusals;
    RefusalTally untrusted_proxy_refusals;

   private:
    mutable std::mutex settings_mutex_;
    Settings settings_;  // guarded by settings_mutex_
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
  // Applies a validated configuration to the running gateway, all or nothing:
  // throws the user-facing message and keeps everything as it was when a new
  // listener cannot be opened. Logs the summary line on success.
  void reload(ServerConfig next);
  // Closes every TCP listener and stops making UDP associations; existing
  // connections and associations go on. Acts once per run.
  void drain();
  bool draining() const { return draining_.load(); }
  // No TCP connection and no UDP association is left.
  bool idle();
  int drain_timeout_ms() const { return config_.drain_timeout_ms; }
  // Destroys the retired routes whose last connection has ended.
  void reap_retired();
  bool running() const { return running_.load(); }
  // Everything the process writes to standard output while the gateway lives
  // goes through here, so that it keeps its order with the log lines.
  Logger& logger() { return logger_; }
  // Every listener is open, the gateway runs and is not draining.
  bool ready() const { return ready_.load() && running_.load() && !draining_.load(); }

 private:
  // Opens the route's sockets; throws the start-up message.
  void open_listeners(RouteRuntime& rt, const sockaddr_storage& address);
  // Starts the route's listener threads and logs its line.
  void launch(RouteRuntime& rt, const std::string& listen_address);
  // Each closes one listener at once: wakes and joins its thread, then closes
  // it; the UDP one also ends the route's associations.
  void close_tcp_listener(RouteRuntime& rt);
  void close_udp_listener(RouteRuntime& rt);
  void stop_locked();
  void reap_retired_locked();
  void start_refusal_log_if_needed();
  // Whether a listener's thread goes on: the gateway runs and it is not closing.
  bool serving(const std::atomic<bool>& listener) const {
    return running_.load() && listener.load();
  }

  // TCP relay (tcp_relay.cpp).
  void accept_loop(RouteRuntime* rt);
  // Whether a new client from this address may come in; counts the refusal.
  bool admit(RouteRuntime& rt, const RouteSettings& settings, const sockaddr_storage& from,
             AddressCounts& counts, const std::string& address, Counter& refused_per_address,
             Counter& refused_allow);
  // Hands an admitted client with its slot to a new thread; on failure gives
  // the slot and the address count back, closes the client and throws.
  void spawn_client(RouteRuntime& rt, const Settings& settings, UniqueFd client,
                    const std::string& address, const sockaddr_storage& from);
  void handle_client(RouteRuntime& rt, const RouteSettings& settings, ListedFd client,
                     std::string address, sockaddr_storage from);
  // For a route that accepts the PROXY protocol: reads the header, then admits
  // the client it names (into `from`, its counted `address`); false when the
  // client is refused, which is counted.
  bool admit_proxied(RouteRuntime& rt, const RouteSettings& settings, int client_fd,
                     std::string& address, sockaddr_storage& from);
  // Connected, and with the route's PROXY header for `from` -> `local` sent.
  ListedFd connect_upstream(RouteRuntime& rt, const RouteSettings& settings,
                            const sockaddr_storage& from, const sockaddr_storage& local);
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
  int connect_upstream_udp(const RouteSettings& settings, RouteStats& stats);
  void udp_response_loop(RouteRuntime* rt, const std::shared_ptr<UdpAssociation>& association);

  // Writes the refusals tallied since the last call, one line per route and reason.
  void log_refusals();
  // While running: log_refusals() once a second.
  void refusal_log_loop();

  // Sleeps for the pause unless stop() begins first; for back-off after a
  // resource failure, so that stop is never held up by it.
  void pause_unless_stopping(std::chrono::milliseconds pause);

  // Admin listener (gateway_admin.cpp).
  // The admin listener of `config`, serving; throws the start-up message.
  std::unique_ptr<AdminServer> open_admin(const ServerConfig& config);
  std::string render_metrics() const;

  ServerConfig config_;  // read and replaced by the main thread only
  Logger logger_;
  std::atomic<bool> running_{false};
  // Written under both lifecycle_mutex_ and routes_mutex_; read under either.
  std::vector<std::unique_ptr<RouteRuntime>> routes_;
  std::vector<std::unique_ptr<RouteRuntime>> retired_;  // listeners closed, connections going on
  mutable std::mutex routes_mutex_;

  std::thread refusal_log_thread_;  // only when a route can refuse clients beyond its limit
  std::mutex lifecycle_mutex_;      // start(), stop(), reload() and drain() never overlap
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;

  std::unique_ptr<AdminServer> admin_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> draining_{false};  // set by drain() until the next start()
};

}  // namespace tarnwicket
