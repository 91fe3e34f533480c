#include "gateway/admission.h"

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

}  // namespace tarnwicket
