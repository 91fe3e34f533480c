#include "gateway/proxy_protocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "net/stream.h"

namespace tarnwicket {

namespace {

constexpr std::string_view kV1Prefix = "PROXY";
constexpr std::string_view kV2Signature{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr std::size_t kV2FixedBytes = 16;

ProxyHeader need(std::size_t bytes) { return {ProxyHeader::State::kNeedMore, bytes}; }
ProxyHeader invalid() { return {}; }
ProxyHeader local(std::size_t size) {
  ProxyHeader header{ProxyHeader::State::kComplete, size};
  header.local = true;
  return header;
}

void set_address(sockaddr_storage& out, int family, const void* address, std::uint16_t port_be) {
  out = {};
  if (family == AF_INET) {
    auto& in = reinterpret_cast<sockaddr_in&>(out);
    in.sin_family = AF_INET;
    std::memcpy(&in.sin_addr, address, sizeof in.sin_addr);
    in.sin_port = port_be;
  } else {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
    in6.sin6_family = AF_INET6;
    std::memcpy(&in6.sin6_addr, address, sizeof in6.sin6_addr);
    in6.sin6_port = port_be;
  }
}

// A decimal port without sign or leading zeros.
std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return std::nullopt;
  return htons(static_cast<std::uint16_t>(value));
}

bool parse_v1_address(std::string_view text, int family, sockaddr_storage& out,
                      std::string_view port) {
  char buffer[INET6_ADDRSTRLEN];
  if (text.size() >= sizeof buffer) return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  std::array<std::uint8_t, 16> bytes{};
  const auto port_be = parse_port(port);
  if (!port_be || inet_pton(family, buffer, bytes.data()) != 1) return false;
  set_address(out, family, bytes.data(), *port_be);
  return true;
}

ProxyHeader parse_v1(std::string_view data) {
  const std::size_t end = data.find('\n');
  if (end == std::string_view::npos) {
    if (data.size() >= kProxyV1MaxBytes || data.find('\r') < data.size() - 1 ||
        data.find('\0') != std::string_view::npos) {
      return invalid();
    }
    return need(data.size() + 1);
  }
  if (end + 1 > kProxyV1MaxBytes || end == 0 || data[end - 1] != '\r') return invalid();
  const std::string_view line = data.substr(0, end - 1);
  // inet_pton would stop at a NUL and read the field's head as the address.
  if (line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) return invalid();
  std::string_view fields[6];
  std::size_t count = 0;
  bool more = true;  // text follows the last field taken
  for (std::size_t start = 0; more && count < 6;) {
    const std::size_t space = line.find(' ', start);
    fields[count++] = line.substr(start, space - start);
    more = space != std::string_view::npos;
    start = space + 1;
  }
  if (count >= 2 && fields[0] == kV1Prefix && fields[1] == "UNKNOWN") return local(end + 1);
  if (count != 6 || more || fields[0] != kV1Prefix) return invalid();
  const int family = fields[1] == "TCP4" ? AF_INET : fields[1] == "TCP6" ? AF_INET6 : AF_UNSPEC;
  ProxyHeader header{ProxyHeader::State::kComplete, end + 1};
  if (family == AF_UNSPEC || !parse_v1_address(fields[2], family, header.source, fields[4]) ||
      !parse_v1_address(fields[3], family, header.destination, fields[5])) {
    return invalid();
  }
  return header;
}

ProxyHeader parse_v2(std::string_view data) {
  if (data.size() < kV2FixedBytes) return need(kV2FixedBytes);
  const auto byte = [&data](std::size_t i) { return static_cast<std::uint8_t>(data[i]); };
  const int version = byte(12) >> 4;
  const int command = byte(12) & 0x0f;
  const int family = byte(13) >> 4;
  const int transport = byte(13) & 0x0f;
  const std::size_t length = std::size_t{byte(14)} << 8 | byte(15);
  if (version != 2 || command > 1 || family > 3 || transport > 2) return invalid();
  const std::size_t size = kV2FixedBytes + length;
  if (command == 0) return local(size);
  static constexpr std::size_t kAddressBytes[] = {0, 12, 36, 216};
  const std::size_t needed = kAddressBytes[family];
  if (length < needed) return invalid();
  if (family == 0 || family == 3 || transport == 0) return local(size);
  if (data.size() < kV2FixedBytes + needed) return need(kV2FixedBytes + needed);
  const char* block = data.data() + kV2FixedBytes;
  const std::size_t address_bytes = family == 1 ? 4 : 16;
  std::uint16_t ports[2];
  std::memcpy(ports, block + 2 * address_bytes, sizeof ports);
  const int af = family == 1 ? AF_INET : AF_INET6;
  ProxyHeader header{ProxyHeader::State::kComplete, size};
  set_address(header.source, af, block, ports[0]);
  set_address(header.destination, af, block + address_bytes, ports[1]);
  return header;
}

// The IPv6 form of an address, IPv4 ones mapped.
sockaddr_in6 as_ipv6(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) return reinterpret_cast<const sockaddr_in6&>(address);
  const auto& in = reinterpret_cast<const sockaddr_in&>(address);
  sockaddr_in6 out{};
  out.sin6_family = AF_INET6;
  out.sin6_port = in.sin_port;
  out.sin6_addr.s6_addr[10] = 0xff;
  out.sin6_addr.s6_addr[11] = 0xff;
  std::memcpy(&out.sin6_addr.s6_addr[12], &in.sin_addr, 4);
  return out;
}

bool is_ip(const sockaddr_storage& address) {
  return address.ss_family == AF_INET || address.ss_family == AF_INET6;
}

// One family for both ends: AF_UNSPEC when either is not an IP address.
int common_family(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (!is_ip(a) || !is_ip(b)) return AF_UNSPEC;
  return a.ss_family == b.ss_family ? a.ss_family : AF_INET6;
}

void append_address_text(std::string& out, const sockaddr_storage& address, int family) {
  char text[INET6_ADDRSTRLEN] = "";
  if (family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    out += text;
    return;
  }
  const sockaddr_in6 in6 = as_ipv6(address);
  if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
    // Hexadecimal groups only: the dotted tail inet_ntop writes is not part of the format.
    const std::uint8_t* b = in6.sin6_addr.s6_addr;
    snprintf(text, sizeof text, "::ffff:%x:%x", b[12] << 8 | b[13], b[14] << 8 | b[15]);
  } else {
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
  }
  out += text;
}

std::uint16_t port_of(const sockaddr_storage& address) {
  return address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(address).sin_port
                                      : reinterpret_cast<const sockaddr_in6&>(address).sin6_port;
}

}  // namespace

ProxyHeader parse_proxy_header(std::string_view data) {
  data = data.substr(0, std::min(data.size(), kProxyParseBytes));
  if (data.empty()) return need(1);
  const std::size_t v2_seen = std::min(data.size(), kV2Signature.size());
  if (data.substr(0, v2_seen) == kV2Signature.substr(0, v2_seen)) {
    return data.size() < kV2Signature.size() ? need(data.size() + 1) : parse_v2(data);
  }
  const std::size_t v1_seen = std::min(data.size(), kV1Prefix.size());
  if (data.substr(0, v1_seen) != kV1Prefix.substr(0, v1_seen)) return invalid();
  return data.size() < kV1Prefix.size() ? need(data.size() + 1) : parse_v1(data);
}

std::optional<ProxyHeader> read_proxy_header(int fd, std::chrono::milliseconds limit) {
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + limit;
  char buffer[kProxyParseBytes];
  std::size_t wanted = 1;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    set_receive_timeout(fd, static_cast<int>(std::max<long long>(left.count(), 1)));
    const ssize_t n = peek_at_least(fd, buffer, sizeof buffer, wanted);
    // Fewer bytes than waited for: the peer closed, or the time is up.
    if (n <= 0 || static_cast<std::size_t>(n) < wanted) return std::nullopt;
    const ProxyHeader header =
        parse_proxy_header(std::string_view(buffer, static_cast<std::size_t>(n)));
    if (header.state == ProxyHeader::State::kInvalid) return std::nullopt;
    if (header.state == ProxyHeader::State::kNeedMore) {
      wanted = header.size;
      continue;
    }
    // The deadline covers the TLVs too, which a peer could send a byte at a time.
    if (!discard_exactly(fd, header.size, deadline)) return std::nullopt;
    return header;
  }
}

std::string proxy_header_v1(const sockaddr_storage& source, const sockaddr_storage& destination) {
  const int family = common_family(source, destination);
  if (family == AF_UNSPEC) return "PROXY UNKNOWN\r\n";
  std::string out = family == AF_INET ? "PROXY TCP4 " : "PROXY TCP6 ";
  append_address_text(out, source, family);
  out += ' ';
  append_address_text(out, destination, family);
  out += ' ';
  out += std::to_string(ntohs(port_of(source)));
  out += ' ';
  out += std::to_string(ntohs(port_of(destination)));
  out += "\r\n";
  return out;
}

std::string proxy_header_v2(const sockaddr_storage& source, const sockaddr_storage& destination,
                            bool datagram) {
  const int family = common_family(source, destination);
  std::string out(kV2Signature);
  out += '\x21';  // version 2, PROXY
  const char transport = datagram ? 0x2 : 0x1;
  if (family == AF_UNSPEC) {
    out.append({'\x00', '\x00', '\x00'});
    return out;
  }
  const std::size_t address_bytes = family == AF_INET ? 4 : 16;
  out += static_cast<char>((family == AF_INET ? 0x10 : 0x20) | transport);
  out += '\0';
  out += static_cast<char>(2 * address_bytes + 4);
  for (const sockaddr_storage* end : {&source, &destination}) {
    if (family == AF_INET) {
      const auto& in = reinterpret_cast<const sockaddr_in&>(*end);
      out.append(reinterpret_cast<const char*>(&in.sin_addr), address_bytes);
    } else {
      const sockaddr_in6 in6 = as_ipv6(*end);
      out.append(reinterpret_cast<const char*>(&in6.sin6_addr), address_bytes);
    }
  }
  for (const sockaddr_storage* end : {&source, &destination}) {
    const std::uint16_t port = port_of(*end);
    out.append(reinterpret_cast<const char*>(&port), sizeof port);
  }
  return out;
}

}  // namespace tarnwicket
