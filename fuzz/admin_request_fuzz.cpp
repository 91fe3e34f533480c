// The admin listener on arbitrary bytes from one client that then ends its
// side: what comes back is a run of whole HTTP/1.1 answers, each with one
// Content-Length and that many body bytes (none for HEAD), and nothing after
// an answer that announces the close. Two heads for one answer break it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "gateway/admin_server.h"
#include "net/stream.h"

namespace {

using tarnwicket::fuzz::contract_broken;

// What the admin listener, on a loopback port for the whole run, answers to
// `input`; `reset` tells whether the answer ended in a reset, which may cut
// the last answer short.
std::string exchange(std::string_view input, bool& reset) {
  static tarnwicket::AdminServer server(
      {[] { return std::string("# fuzz\n"); }, [] { return true; }, {}});
  static const int port = [] {
    for (int port = 20000 + getpid() % 20000;; ++port)
      if (server.start(htonl(INADDR_LOOPBACK), port, {})) return port;
  }();
  tarnwicket::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in to{
      AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    contract_broken("cannot connect", "");
  tarnwicket::set_receive_timeout(fd.get(), 5000);
  tarnwicket::send_all(fd.get(), input.data(), input.size());  // a refusal may close first
  ::shutdown(fd.get(), SHUT_WR);
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = tarnwicket::recv_some(fd.get(), buffer, sizeof buffer)) > 0)
    out.append(buffer, std::size_t(n));
  if (n < 0 && errno != ECONNRESET) contract_broken("no close within 5 s", input);
  reset = n < 0;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool reset = false;
  const std::string out = exchange({reinterpret_cast<const char*>(data), size}, reset);
  const std::string_view rest_of = out;
  for (std::size_t at = 0; at < out.size();) {
    const std::size_t end = out.find("\r\n\r\n", at);
    if (end == std::string::npos && reset) break;
    const std::string_view head = rest_of.substr(at, end + 2 - at);
    if (end == std::string::npos || !head.starts_with("HTTP/1.1 ") || head.size() < 13 ||
        head[12] != ' ')
      contract_broken("no whole head where an answer begins", rest_of.substr(at));
    // Exactly one Content-Length.
    constexpr std::string_view kLength = "\r\nContent-Length: ";
    const std::size_t field = head.find(kLength);
    std::size_t length = 0;
    if (field == head.npos || head.find(kLength, field + 1) != head.npos ||
        std::from_chars(head.data() + field + kLength.size(), head.end(), length).ec != std::errc())
      contract_broken("not one Content-Length", head);
    at = end + 4;
    // A HEAD answer has no body: the next answer, or the end, follows at once.
    if (at < out.size() && !rest_of.substr(at).starts_with("HTTP/1.1 ")) {
      if (out.size() - at < length && !reset)
        contract_broken("a body cut short", rest_of.substr(at));
      at += length;
    }
    if (head.find("\r\nConnection: close\r\n") != head.npos && at < out.size())
      contract_broken("more after an answer that announces the close", out);
  }
  return 0;
}
