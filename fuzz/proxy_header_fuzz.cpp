// parse_proxy_header on arbitrary bytes: it never looks past what it is
// given, asks only for more bytes than it has, and a complete header fits in
// what it saw (version 1) or has a length that the bytes state (version 2).

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "gateway/proxy_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwicket;
  using fuzz::contract_broken;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const ProxyHeader header = parse_proxy_header(input);
  const std::size_t seen = std::min(size, kProxyParseBytes);
  if (header.state == ProxyHeader::State::kNeedMore &&
      (header.size <= seen || header.size > kProxyParseBytes)) {
    contract_broken("asks for bytes it has, or more than it reads", input);
  }
  if (header.state != ProxyHeader::State::kComplete) return 0;
  if (input.front() == 'P' && header.size > seen) contract_broken("v1 beyond the line", input);
  if (input.front() != 'P' && header.size < 16) contract_broken("v2 shorter than 16", input);
  if (!header.local && header.source.ss_family != header.destination.ss_family) {
    contract_broken("addresses of two families", input);
  }
  // A header that is complete parses the same from exactly its own bytes.
  const ProxyHeader again = parse_proxy_header(input.substr(0, header.size));
  if (header.size <= seen && (again.state != header.state || again.size != header.size)) {
    contract_broken("depends on bytes after the header", input);
  }
  return 0;
}
