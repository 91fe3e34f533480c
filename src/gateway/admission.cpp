#include "gateway/admission.h"

#include <cstring>

namespace tarnwicket {

std::optional<std::array<std::uint8_t, 4>> ipv4_of(const sockaddr_storage& address) {
  if (address.ss_family != AF_INET) return std::nullopt;
  std::array<std::uint8_t, 4> bytes{};
  const auto& in = reinterpret_cast<const sockaddr_in&>(address);
  std::memcpy(bytes.data(), &in.sin_addr, bytes.size());
  return bytes;
}

std::string address_key(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    return std::string(reinterpret_cast<const char*>(&in.sin_addr), sizeof in.sin_addr);
  }
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    return std::string(reinterpret_cast<const char*>(&in6.sin6_addr), sizeof in6.sin6_addr);
  }
  return {};
}

bool allowed(const std::vector<IpNetwork>& networks, const sockaddr_storage& address) {
  if (networks.empty()) return true;
  const auto host = ipv4_of(address);
  if (!host) return false;
  for (const IpNetwork& network : networks) {
    if (network.contains(*host)) return true;
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

}  // namespace tarnwicket
