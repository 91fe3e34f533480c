#include "gateway/admission.h"

#include <utility>

#include "net/address.h"

namespace tarnwicket {

bool allowed(const std::vector<IpNetwork>& networks, const sockaddr_storage& address) {
  if (networks.empty()) return true;
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
                        const sockaddr_storage& client, Refusal* why) {
  Ticket ticket;
  if (!check_client(protocol, ticket, settings, client, why)) return ticket;
  ProtocolStats& side = stats_.protocol[protocol];
  if (!take_place(side, settings.route.max_connections)) {
    ticket.release();  // the address count
    return refused(protocol, kLimit, why);
  }
  ticket.open_ = &side.open;
  ticket.start(client);
  add(side.admitted);
  return ticket;
}

Ticket Admission::reserve(Protocol protocol, const RouteSettings& settings) {
  ProtocolStats& side = stats_.protocol[protocol];
  if (!take_place(side, settings.route.max_connections)) return refused(protocol, kLimit, nullptr);
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
  const std::uint64_t total = load(stats_.tcp().refused[why]) + load(stats_.udp().refused[why]);
  const std::uint64_t fresh = total - logged_[why];
  logged_[why] = total;
  return fresh;
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
  if (!allowed(settings.allow, client)) {
    refused(protocol, kAllowList, why);
    return false;
  }
  const int per_address = settings.route.max_connections_per_address;
  if (per_address > 0) {
    std::string address = address_key(client);
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
