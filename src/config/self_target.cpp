#include "config/self_target.h"

#include <arpa/inet.h>

#include <cstring>
#include <optional>

#include "config/text.h"

namespace tarnwicket {
namespace {

// An address as a connect to it goes: an IPv4-mapped IPv6 address is the
// IPv4 address it names.
struct HostAddress {
  int family = AF_UNSPEC;
  in_addr v4{};
  in6_addr v6{};
};

// A numeric address; with `short_forms`, IPv4 also in every form that
// inet_aton reads ("127.1", "2130706433"), as the resolver reads targets,
// though without the trailing text after a space that inet_aton lets pass.
std::optional<HostAddress> numeric_address(const std::string& text, bool short_forms) {
  HostAddress out;
  if (inet_pton(AF_INET6, text.c_str(), &out.v6) == 1) {
    out.family = AF_INET6;
    if (IN6_IS_ADDR_V4MAPPED(&out.v6)) {
      out.family = AF_INET;
      std::memcpy(&out.v4, &out.v6.s6_addr[12], sizeof out.v4);
    }
    return out;
  }
  const bool ipv4 = short_forms ? text.find_first_of(" \t\n\v\f\r") == std::string::npos &&
                                      inet_aton(text.c_str(), &out.v4) != 0
                                : inet_pton(AF_INET, text.c_str(), &out.v4) == 1;
  if (!ipv4) return std::nullopt;
  out.family = AF_INET;
  return out;
}

bool is_unspecified(const HostAddress& a) {
  return a.family == AF_INET ? a.v4.s_addr == 0 : IN6_IS_ADDR_UNSPECIFIED(&a.v6);
}

bool is_loopback(const HostAddress& a) {
  return a.family == AF_INET ? (ntohl(a.v4.s_addr) >> 24) == 127 : IN6_IS_ADDR_LOOPBACK(&a.v6);
}

bool same_address(const HostAddress& a, const HostAddress& b) {
  if (a.family != b.family) return false;
  return a.family == AF_INET ? a.v4.s_addr == b.v4.s_addr : IN6_ARE_ADDR_EQUAL(&a.v6, &b.v6);
}

}  // namespace

bool targets_itself(const ServerRoute& route, const std::string& listen_address) {
  if (route.target_port != route.listen_port) return false;
  const std::string& host = route.target_host;
  if (host == listen_address) return true;
  const std::optional<HostAddress> listener = numeric_address(listen_address, false);
  std::optional<HostAddress> target = lower(host) == "localhost"
                                          ? numeric_address("127.0.0.1", false)
                                          : numeric_address(host, true);
  if (!listener || !target) return false;
  // A connect to the unspecified address goes to the loopback address.
  if (is_unspecified(*target)) {
    target = numeric_address(target->family == AF_INET ? "127.0.0.1" : "::1", false);
  }
  if (same_address(*target, *listener)) return true;
  // A wildcard listener takes every loopback connect of its family; the
  // dual-stack one takes both families.
  return is_unspecified(*listener) && is_loopback(*target) &&
         (listener->family == AF_INET6 || target->family == AF_INET);
}

}  // namespace tarnwicket
