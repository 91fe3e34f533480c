#include "gateway/admission.h"

#include <cstring>

namespace tarnwicket {

void unmap_ipv4(sockaddr_storage& address, socklen_t& length) {
  if (address.ss_family != AF_INET6) return;
  const auto in6 = reinterpret_cast<const sockaddr_in6&>(address);
  if (!IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) return;
  address = {};
  auto& in = reinterpret_cast<sockaddr_in&>(address);
  in.sin_family = AF_INET;
  in.sin_port = in6.sin6_port;
  std::memcpy(&in.sin_addr, &in6.sin6_addr.s6_addr[12], sizeof in.sin_addr);
  length = sizeof in;
}

sockaddr_storage unmapped(const sockaddr_storage& address) {
  sockaddr_storage out = address;
  socklen_t length = sizeof out;
  unmap_ipv4(out, length);
  return out;
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

}  // namespace tarnwicket
