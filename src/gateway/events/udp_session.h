#pragma once

// The UDP side of the event engine: a route's socket, read by one loop, and
// one association per client address and port, whose connected upstream
// socket a loop of its own watches for replies.

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "gateway/events/loop.h"
#include "gateway/route_settings.h"
#include "gateway/ticket.h"
#include "gateway/udp_guard.h"
#include "net/fd.h"

namespace tarnwicket {

class EventRelay;
class UdpAssociation;

// Datagrams one socket may take in a turn of its loop before the others get theirs.
inline constexpr int kDatagramsPerTurn = 64;

class UdpListener final : public Watcher {
 public:
  UdpListener(EventRelay& relay, Loop& loop) : relay_(relay), loop_(loop) {}
  Loop& loop() { return loop_; }
  // The loop's thread: starts or stops reading the route's socket.
  void listen();
  void close();
  void on_io(int side, std::uint32_t events) override;
  void on_timer() override;  // the back-off after a resource failure is over

 private:
  void forward(const char* data, std::size_t size, const sockaddr_storage& from, socklen_t from_len,
               const sockaddr_storage& destination);
  // A new association filed and on its way to its loop, or null when the
  // client is refused (counted and logged). `from` as received (replies go
  // there), `client` the same with IPv4 unmapped.
  std::shared_ptr<UdpAssociation> associate(std::string_view key, const sockaddr_storage& from,
                                            socklen_t from_len, const sockaddr_storage& client,
                                            const sockaddr_storage& destination);
  // Ends the oldest unconfirmed association, if any, to make room.
  bool evict_unconfirmed();

  EventRelay& relay_;
  Loop& loop_;
  int fd_ = -1;  // the route's socket while watched
  std::uint64_t backoff_ = 0;
  EvictionQueue<UdpAssociation> evictable_;
};

// Fixed once filed in the relay's table, but for the part its loop keeps.
class UdpAssociation final : public Watcher, public std::enable_shared_from_this<UdpAssociation> {
 public:
  UdpAssociation(EventRelay& relay, Loop& loop, const ServerRoute& route)
      : guard(route), relay_(relay), loop_(loop) {}
  // Its loop's thread: watches the upstream and the idle time-out; ends it.
  void open(Clock::time_point created);
  void end(SessionEnd why);
  void on_io(int side, std::uint32_t events) override;
  void on_timer() override;
  Loop& loop() { return loop_; }

  Ticket ticket;  // given back, under the relay's table lock, when it ends
  std::string key;
  UniqueFd upstream;  // connected; shut down at the end, closed with the last reference
  int reply_fd = -1;  // the route's socket
  sockaddr_storage client_addr{};
  socklen_t client_addr_len = 0;
  sockaddr_storage local_addr{};  // where the client sent to; replies leave from it
  std::string proxy_prefix;       // sent upstream before every datagram; empty: none
  int first_wait_ms = 0;          // before the first reply; 0: the idle time-out
  int idle_timeout_ms = 0;        // after it
  UdpGuard guard;

 private:
  Clock::time_point deadline() const;

  EventRelay& relay_;
  Loop& loop_;
  Clock::time_point last_;  // made, then the last reply
  bool answered_ = false, watched_ = false, ended_ = false;
  std::uint64_t timer_ = 0;
};

}  // namespace tarnwicket
