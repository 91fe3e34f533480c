#pragma once

// The thread engine, the reference design: per route an accept thread and a
// receive thread; per TCP client a client thread, which pumps the client's
// bytes, and a pump for the replies; per UDP association a response thread.
// Blocking calls throughout, each bounded by a socket time-out or ended by a
// shutdown from the thread that stops it.
//
// Who closes what:
//  - an accepted client socket and its upstream socket: owned by the client
//    thread through a ListedFd on client_fds_, which wake() shuts down.
//  - an association's upstream socket: shut down by its response thread,
//    by wake() or by stop_receiving(); closed once, with the association,
//    when the last user (table, response thread, a datagram being forwarded)
//    lets go of it.
// Lock order: udp_mutex_, then a ThreadGroup's, an FdList's or an
// AddressCounts' own mutex; the logger's is always taken last.

#include <sys/socket.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "gateway/engine.h"
#include "gateway/route.h"
#include "gateway/threads/thread_group.h"
#include "gateway/udp_guard.h"
#include "net/fd.h"

namespace tarnwicket {

class Newcomers;

class ThreadRelay final : public RouteRelay {
 public:
  ThreadRelay(Route& route, RunState& run, Logger& logger);
  ~ThreadRelay() override;

  void start() override;
  void wake() override;
  void stop_accepting() override;
  void stop_receiving() override;
  void end_connections() override;
  bool finished() override { return client_threads_.empty(); }

 private:
  struct UdpAssociation;  // udp_relay.cpp

  // Whether a listener's thread goes on: the gateway runs and it is not closing.
  bool serving(const std::atomic<bool>& listener) const;

  // TCP (tcp_relay.cpp).
  void accept_loop();
  // Hands an admitted client to a new thread; on failure gives everything
  // back, closes the client and throws.
  void spawn_client(Settings settings, UniqueFd client, Ticket ticket,
                    const sockaddr_storage& from);
  // `from` is the thread's closure's own copy. The upstream lookup is the
  // client thread's deepest point, so what sits on the stack above it is kept
  // small: a held connection then touches one stack page less.
  void handle_client(const RouteSettings& settings, ListedFd client, Ticket ticket,
                     sockaddr_storage& from);
  // Reads the PROXY header, then admits the client it names into `from`;
  // false when the client is refused, which is counted. Out of line, so that
  // the header is not on the stack during the upstream lookup.
  [[gnu::noinline]] bool admit_proxied(const RouteSettings& settings, int client_fd, Ticket& ticket,
                                       sockaddr_storage& from);
  // Connected, and with the route's PROXY header for `from` -> the client
  // socket's address sent.
  // Notes the upstream in `session`; `end` says why when it throws.
  ListedFd connect_upstream(const RouteSettings& settings, const sockaddr_storage& from,
                            int client_fd, Session& session, SessionEnd& end);
  // Both directions, one on this thread and one on a pump, until either ends;
  // then both are shut down, the tails first given `timeout_ms` to be
  // acknowledged. Counts the bytes in `session` too; returns why the first
  // direction ended.
  SessionEnd relay(int client_fd, int upstream_fd, int timeout_ms, Session& session);
  // Until the peers have acknowledged every byte written on either socket,
  // the time-out passes or the gateway stops.
  void wait_until_acknowledged(int first_fd, int second_fd, int timeout_ms);

  // UDP (udp_relay.cpp).
  void udp_loop();
  // Sets up the first held client's association and relays its held datagrams.
  void serve_newcomer(Newcomers& newcomers);
  // One datagram from the association's client, within its cap.
  void forward(UdpAssociation& association, const char* data, std::size_t size);
  std::shared_ptr<UdpAssociation> find_association(std::string_view key);
  // A new association filed in the table with its thread running, or null
  // when the client is refused (counted and logged). `from` as received
  // (replies go there), `client` the same with IPv4 unmapped.
  std::shared_ptr<UdpAssociation> new_association(std::string_view key,
                                                  const sockaddr_storage& from, socklen_t from_len,
                                                  const sockaddr_storage& client,
                                                  const sockaddr_storage& destination);
  void udp_response_loop(const std::shared_ptr<UdpAssociation>& association);
  // Wakes every response thread; each then ends its association.
  void shut_down_associations();
  // Ends the oldest unconfirmed association, if any, to make room.
  bool evict_unconfirmed();

  Route& route_;
  RunState& run_;
  Logger& logger_;
  std::atomic<bool> accepting_{false};  // false: the TCP listener is closing
  std::atomic<bool> receiving_{false};  // false: the UDP listener is closing
  std::thread tcp_thread_;
  std::thread udp_thread_;

  FdList client_fds_;  // client and upstream sockets
  ThreadGroup client_threads_;

  std::mutex udp_mutex_;
  std::map<std::string, std::shared_ptr<UdpAssociation>, std::less<>>
      associations_;  // guarded by udp_mutex_
  ThreadGroup udp_threads_;
  EvictionQueue<UdpAssociation> evictable_;  // the UDP thread's
};

class ThreadEngine final : public Engine {
 public:
  ThreadEngine(RunState& run, Logger& logger);
  std::unique_ptr<RouteRelay> relay(Route& route) override;

 private:
  RunState& run_;
  Logger& logger_;
};

}  // namespace tarnwicket
