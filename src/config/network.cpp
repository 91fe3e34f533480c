#include <arpa/inet.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "config/server_config.h"
#include "config/text.h"

namespace tarnwicket {

bool IpNetwork::contains(int host_family, const std::uint8_t* host) const {
  if (host_family != family) return false;
  int bits = prefix;
  for (std::size_t i = 0; i < address.size() && bits > 0; ++i, bits -= 8) {
    const auto mask = static_cast<std::uint8_t>(bits >= 8 ? 0xff : 0xff << (8 - bits));
    if ((host[i] & mask) != address[i]) return false;
  }
  return true;
}

std::optional<IpNetwork> parse_network(const std::string& text) {
  IpNetwork network;
  const std::size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  if (slash != std::string::npos) {
    const std::string prefix = text.substr(slash + 1);
    // Digits only: parse_int would also take a sign or spaces.
    if (prefix.empty() || prefix.size() > 3 ||
        prefix.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    network.prefix = parse_int(prefix, -1);
  }
  if (inet_pton(AF_INET6, address.c_str(), network.address.data()) == 1) {
    network.family = AF_INET6;
    if (slash == std::string::npos) network.prefix = 128;
  } else if (inet_pton(AF_INET, address.c_str(), network.address.data()) != 1) {
    return std::nullopt;
  }
  const bool v4 = network.family == AF_INET;
  if (network.prefix > (v4 ? 32 : 128)) return std::nullopt;
  if (v4 && slash != std::string::npos && text.size() - slash - 1 > 2) return std::nullopt;
  // Host bits are cleared, so "10.1.2.3/8" means 10.0.0.0/8.
  int bits = network.prefix;
  for (auto& byte : network.address) {
    byte = static_cast<std::uint8_t>(bits >= 8   ? byte
                                     : bits <= 0 ? 0
                                                 : byte & (0xff << (8 - bits)));
    bits -= 8;
  }
  // Clients on a dual-stack listener count as IPv4, so an IPv4-mapped network
  // ("::ffff:10.0.0.0/104") is kept as the IPv4 network it names.
  constexpr std::uint8_t kMapped[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  auto& bytes = network.address;
  if (!v4 && network.prefix >= 96 &&
      std::equal(std::begin(kMapped), std::end(kMapped), bytes.begin())) {
    std::copy(bytes.begin() + 12, bytes.end(), bytes.begin());
    std::fill(bytes.begin() + 4, bytes.end(), std::uint8_t{0});
    network.family = AF_INET;
    network.prefix -= 96;
  }
  return network;
}

}  // namespace tarnwicket
