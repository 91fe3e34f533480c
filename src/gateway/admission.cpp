#include "gateway/admission.h"

#include <utility>

#include "net/address.h"

namespace tarnwicket {

bool allowed(const std::vector<IpNetwork>& networks, const sockaddr_storage& address) {
  return networks.empty() || listed(networks, address);
}

bool listed(const std::vector<IpNetwork>& networks, const sockaddr_storage& address) {
  const std::uint8_t* host = nullptr;
  if (address.ss_family == AF_INET) {
    host = reinterpret_cast<const std::uint8_t*>(
        &reinterpret_cast<const sockaddr_in&>(address).sin_addr);
  } else if (address.ss_family == AF_INET6) {
    host = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr.s6_addr;
  } else {
    return false;
  }
  for (const IpNetwork& network : networks) {
    if (network.contains(address.ss_family, host)) return true;
  }
  return false;
}

bool AddressCounts::try_add(const std::string& address, int limit) {
  std::lock_guard lock(mutex_);
  int& count = counts_[address];
  if (count >= limit) return false;
  ++count;
  return true;
}

void AddressCounts::remove(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto it = counts_.find(address);
  if (it != counts_.end() && --it->second <= 0) counts_.erase(it);
}

Ticket& Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    release();
    open_ = std::exchange(other.open_, nullptr);
    counts_ = std::exchange(other.counts_, nullptr);
    address_ = std::move(other.address_);
    session_.take(other.session_);
  }
  return *this;
}

void Ticket::start(const sockaddr_storage& client) {
  session_.start = std::chrono::steady_clock::now();
  session_.start_time = std::chrono::system_clock::now();
  session_.client = client;
}

void Ticket::release() noexcept {
  if (counts_ != nullptr) counts_->remove(address_);
  counts_ = nullptr;
  if (open_ != nullptr) add(*open_, -1);
  open_ = nullptr;
}

Ticket Admission::admit(Protocol protocol, const RouteSettings& settings,
                        const sockaddr_storage& client, Refusal* why, const MakeRoom& make_room) {
  Ticket ticket;
  if (!check_client(protocol, ticket, settings, client, why)) return ticket;
  if (const auto refusal = place(protocol, settings, make_room)) {
    ticket.release();  // the address count
    return refused(protocol, *refusal, why);
  }
  ProtocolStats& side = stats_.protocol[protocol];
  ticket.open_ = &side.open;
  ticket.start(client);
  add(side.admitted);
  return ticket;
}

Ticket Admission::reserve(Protocol protocol, const RouteSettings& settings, Refusal* why) {
  ProtocolStats& side = stats_.protocol[protocol];
  if (const auto refusal = place(protocol, settings, {})) {
    return refused(protocol, *refusal, why);
  }
  Ticket ticket;
  ticket.open_ = &side.open;
  ticket.start({});
  return ticket;
}

bool Admission::admit_client(Protocol protocol, Ticket& ticket, const RouteSettings& settings,
                             const sockaddr_storage& client) {
  if (!check_client(protocol, ticket, settings, client, nullptr)) {
    ticket.release();
    return false;
  }
  ticket.session_.client = client;
  add(stats_.protocol[protocol].admitted);
  return true;
}

void Admission::refuse(Protocol protocol, Refusal why) {
  add(stats_.protocol[protocol].refused[why]);
}

std::uint64_t Admission::take_unlogged(Refusal why) {
  return take_unlogged(kTcp, why) + take_unlogged(kUdp, why);
}

std::uint64_t Admission::take_unlogged(Protocol protocol, Refusal why) {
  const std::uint64_t total = load(stats_.protocol[protocol].refused[why]);
  return total - std::exchange(logged_[protocol][why], total);
}

std::uint64_t Admission::take_unlogged_evictions() {
  const std::uint64_t total = load(stats_.udp().evicted);
  return total - std::exchange(logged_evictions_, total);
}

void Admission::forget_quiet_addresses() {
  const std::int64_t now = rate_now();
  for (AddressRates& rates : address_rates_) rates.sweep(now);
}

std::optional<Refusal> Admission::place(Protocol protocol, const RouteSettings& settings,
                                        const MakeRoom& make_room) {
  const ServerRoute& route = settings.route;
  if (route.new_clients_per_second > 0 &&
      !rates_[protocol].take(route.new_clients_per_second, rate_now())) {
    return kRate;
  }
  ProtocolStats& side = stats_.protocol[protocol];
  if (take_place(side, route.max_connections)) return std::nullopt;
  if (make_room && make_room() && take_place(side, route.max_connections)) return std::nullopt;
  return kLimit;
}

bool Admission::take_place(ProtocolStats& side, int limit) {
  // A reload may lower the limit under what is open: refused until enough end.
  std::int64_t open = side.open.load(std::memory_order_relaxed);
  while (open < limit) {
    if (side.open.compare_exchange_weak(open, open + 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

bool Admission::check_client(Protocol protocol, Ticket& ticket, const RouteSettings& settings,
                             const sockaddr_storage& client, Refusal* why) {
  if (!settings.deny.empty() && listed(settings.deny, client)) {
    refused(protocol, kDenyList, why);
    return false;
  }
  if (!allowed(settings.allow, client)) {
    refused(protocol, kAllowList, why);
    return false;
  }
  const int rate = settings.route.new_clients_per_address_per_second;
  const int per_address = settings.route.max_connections_per_address;
  if (rate == 0 && per_address == 0) return true;
  std::string address = address_key(client);
  if (rate > 0 && !address_rates_[protocol].take(address, rate, rate_now())) {
    refused(protocol, kAddressRate, why);
    return false;
  }
  if (per_address > 0) {
    AddressCounts& counts = addresses_[protocol];
    if (!counts.try_add(address, per_address)) {
      refused(protocol, kPerAddress, why);
      return false;
    }
    ticket.counts_ = &counts;
    ticket.address_ = std::move(address);
  }
  return true;
}

Ticket Admission::refused(Protocol protocol, Refusal why, Refusal* out) {
  refuse(protocol, why);
  if (out != nullptr) *out = why;
  return {};
}

}  // namespace tarnwicket
