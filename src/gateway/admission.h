#pragma once

// Who may come in: a route's allow list, its per-address counts and its
// limit, and the count of every refusal by protocol and reason, which feeds
// both the metrics and the once-a-second refusal line.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "gateway/rate_limit.h"
#include "gateway/route_settings.h"
#include "gateway/route_stats.h"
#include "gateway/ticket.h"

namespace tarnwicket {

// True when a network of the list holds the address.
bool listed(const std::vector<IpNetwork>& networks, const sockaddr_storage& address);
// True when the list is empty or a network of it holds the address.
bool allowed(const std::vector<IpNetwork>& networks, const sockaddr_storage& address);

// Live clients per IP address (address_key form).
class AddressCounts {
 public:
  // Counts one more for the address unless it already has `limit`.
  bool try_add(const std::string& address, int limit);
  void remove(const std::string& address);

 private:
  std::mutex mutex_;  // a leaf lock
  std::unordered_map<std::string, int> counts_;
};

class Admission {
 public:
  explicit Admission(RouteStats& stats) : stats_(stats) {}
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  // Called when the route is full; true when it ended a client to make room.
  using MakeRoom = std::function<bool()>;

  // The deny and allow lists, the per-address rate and limit, then the
  // route's rate and limit, in that order; `client` with IPv4 unmapped. An
  // empty ticket when refused: the refusal is counted and, when asked, its
  // reason stored in `why`.
  Ticket admit(Protocol protocol, const RouteSettings& settings, const sockaddr_storage& client,
               Refusal* why = nullptr, const MakeRoom& make_room = {});
  // For a client that a balancer speaks for: its place in the route's limit
  // now, the rest by admit_client once the header has named it.
  Ticket reserve(Protocol protocol, const RouteSettings& settings, Refusal* why = nullptr);
  // The lists and the per-address rate and limit for a reserved ticket; on
  // a refusal the ticket is released.
  bool admit_client(Protocol protocol, Ticket& ticket, const RouteSettings& settings,
                    const sockaddr_storage& client);
  // Counts a refusal that was decided before admission (a PROXY header).
  void refuse(Protocol protocol, Refusal why);

  // Refusals of `why` over both protocols, or of one, since the last call;
  // for the one thread that writes the refusal lines.
  std::uint64_t take_unlogged(Refusal why);
  std::uint64_t take_unlogged(Protocol protocol, Refusal why);
  // Evicted UDP associations since the last call; for the same thread.
  std::uint64_t take_unlogged_evictions();
  // Forgets the per-address rates of addresses quiet for a second, so that a
  // flood's sources do not stay in memory once it is over.
  void forget_quiet_addresses();

 private:
  bool take_place(ProtocolStats& side, int limit);
  // The route's rate and limit, making room once when full and allowed to;
  // nullopt when the client has its place.
  std::optional<Refusal> place(Protocol protocol, const RouteSettings& settings,
                               const MakeRoom& make_room);
  bool check_client(Protocol protocol, Ticket& ticket, const RouteSettings& settings,
                    const sockaddr_storage& client, Refusal* why);
  Ticket refused(Protocol protocol, Refusal why, Refusal* out);

  RouteStats& stats_;
  AddressCounts addresses_[kProtocols];     // with max_connections_per_address only
  SharedTokenBucket rates_[kProtocols];     // with new_clients_per_second only
  AddressRates address_rates_[kProtocols];  // with new_clients_per_address_per_second only
  std::uint64_t logged_[kProtocols][kRefusals] = {};
  std::uint64_t logged_evictions_ = 0;
};

}  // namespace tarnwicket
