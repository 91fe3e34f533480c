#include "net/address.h"

#include <arpa/inet.h>

#include <cstring>

namespace tarnwicket {

std::optional<sockaddr_storage> parse_ip_address(const std::string& text) {
  sockaddr_storage out{};
  auto& in = reinterpret_cast<sockaddr_in&>(out);
  auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
  if (::inet_pton(AF_INET, text.c_str(), &in.sin_addr) == 1) {
    in.sin_family = AF_INET;
  } else if (::inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) == 1) {
    in6.sin6_family = AF_INET6;
  } else {
    return std::nullopt;
  }
  return out;
}

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

std::string_view client_key(const sockaddr_storage& address, socklen_t length,
                            char (&out)[kClientKeyBytes]) {
  if (address.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
    // The same text as getnameinfo's numeric form, without its locking.
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    if (::inet_ntop(AF_INET, &in.sin_addr, out, INET_ADDRSTRLEN) != nullptr) {
      std::size_t used = std::strlen(out);
      out[used++] = ':';
      unsigned port = ntohs(in.sin_port);
      char digits[5];
      std::size_t count = 0;
      do {
        digits[count++] = static_cast<char>('0' + port % 10);
        port /= 10;
      } while (port != 0);
      while (count > 0) out[used++] = digits[--count];
      return std::string_view(out, used);
    }
  }
  char host[1025];
  char service[32];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host,
                    service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "unknown";
  }
  const std::size_t host_len = std::strlen(host);
  const std::size_t service_len = std::strlen(service);
  std::memcpy(out, host, host_len);
  out[host_len] = ':';
  std::memcpy(out + host_len + 1, service, service_len);
  return std::string_view(out, host_len + 1 + service_len);
}

AddrinfoList resolve_target(const std::string& host, int port, int socktype, int protocol) {
  addrinfo hints{};
  in6_addr literal{};
  const bool ipv6 = ::inet_pton(AF_INET6, host.c_str(), &literal) == 1;
  hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
  hints.ai_flags = ipv6 ? AI_NUMERICHOST : 0;
  hints.ai_socktype = socktype;
  hints.ai_protocol = protocol;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return nullptr;
  return AddrinfoList(list);
}

std::string_view udp_client(const sockaddr_storage& from, socklen_t from_len,
                            sockaddr_storage& client, char (&out)[kClientKeyBytes]) {
  client = from;
  unmap_ipv4(client, from_len);
  return client_key(client, from_len, out);
}

}  // namespace tarnwicket
