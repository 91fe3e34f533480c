// The PROXY header parser's table; the PROXY protocol and IPv6 through the
// real binary: nginx and HAProxy from the distribution as upstream and
// balancer, and peers of the test's own.

#include <poll.h>
#include <sys/socket.h>

#include "gateway/proxy_protocol.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

using namespace std::string_literals;

const std::string kV2Signature = "\r\n\r\n\0\r\nQUIT\n"s;

std::string be16(int value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value & 0xff)};
}

std::string outcome(const ProxyHeader& header) {
  if (header.state == ProxyHeader::State::kInvalid) return "invalid";
  if (header.state == ProxyHeader::State::kNeedMore) return "need " + std::to_string(header.size);
  return "complete " + std::to_string(header.size) + " " +
         (header.local ? "local"
                       : address_text(header.source) + " " + address_text(header.destination));
}

TEST(ProxyHeader, ParsesEveryRowOfTheTable) {
  for (const auto& [where, bytes, expected] :
       table("proxy_headers.txt", {{"@V2@", R"(\r\n\r\n\0\r\nQUIT\n)"}}))
    EXPECT_EQ(outcome(parse_proxy_header(unescape(bytes))), expected) << where;
}

TEST(ProxyChain, UpstreamReadsTheClientAddress) {
  const std::string nginx_binary = "/usr/sbin/nginx", haproxy_binary = "/usr/sbin/haproxy";
  const std::string stream_module = "/usr/lib/nginx/modules/ngx_stream_module.so";
  for (const std::string& needed : {nginx_binary, haproxy_binary, stream_module})
    if (!std::filesystem::exists(needed))
      GTEST_SKIP() << needed << " missing: run scripts/setup.sh";
  TempDir dir;
  const int nginx = free_port(), nginx6 = free_port(), lb1 = free_port(), lb2 = free_port();
  const int gw[] = {free_port(), free_port(), free_port(), free_port(), free_port()};
  const auto text = [](int port) { return std::to_string(port); };
  const std::vector<std::pair<std::string, std::string>> values = {
      {"@MODULE@", stream_module}, {"@NGINX@", text(nginx)}, {"@NGINX6@", text(nginx6)},
      {"@LB1@", text(lb1)},        {"@LB2@", text(lb2)},     {"@GW3@", text(gw[3])},
      {"@GW4@", text(gw[4])}};
  Process nginx_process(nginx_binary, {"-p", dir.path(), "-e", dir.path() / "error.log", "-c",
                                       dir.write("nginx.conf", test_data("nginx.conf", values))});
  Process haproxy_process(
      haproxy_binary, {"-db", "-f", dir.write("haproxy.cfg", test_data("haproxy.cfg", values))});
  const std::string accept = "accept_proxy_protocol = yes\ntrusted_proxies = 127.0.0.1\n";
  RunningServer server(server_ini({
      {"v1", "tcp", gw[0], "127.0.0.1", nginx, 0, true, "proxy_protocol = v1\n"},
      {"v2", "tcp", gw[1], "127.0.0.1", nginx, 0, true, "proxy_protocol = v2\n"},
      {"v6", "tcp", gw[2], "::1", nginx6, 0, true, "proxy_protocol = v2\n"},
      {"lb1", "tcp", gw[3], "127.0.0.1", nginx, 0, true, "proxy_protocol = v1\n" + accept},
      {"lb2", "tcp", gw[4], "127.0.0.1", nginx, 0, true, "proxy_protocol = v2\n" + accept},
  }));
  for (const int port : {nginx, lb1, lb2})
    ASSERT_TRUE(eventually_true([&] { return static_cast<bool>(tcp_connect(port)); }))
        << nginx_process.stderr_text() << haproxy_process.stderr_text();
  // Every entry: the gateway alone, or HAProxy in front of a route that accepts its header.
  for (const int entry : {gw[0], gw[1], gw[2], lb1, lb2}) {
    Fd client = ip_connect(SOCK_STREAM, "127.0.0.1", entry, "127.0.0.5");
    ASSERT_TRUE(client) << entry;
    EXPECT_EQ(read_to_end(client.get()), "127.0.0.5:" + std::to_string(local_port(client.get())))
        << "entry port " << entry;
  }
}

class ProxyAccept : public RelayFixture {};

// The header's client is the client: for the allow list and the relay, which
// gets exactly the bytes after the header.
TEST_P(ProxyAccept, HeadersAreReadExactlyAndTrustedOnlyFromTheBalancer) {
  const std::string v1 = "PROXY TCP4 10.1.2.3 127.0.0.1 4000 7000\r\n";
  const std::string v2 =
      kV2Signature + "\x21\x11\x00\x0c\x0a\x01\x02\x03\x7f\x00\x00\x01"s + be16(4000) + be16(7000);
  RouteSpec trusted = tcp_route(), untrusted = tcp_route();
  trusted.extra =
      "accept_proxy_protocol = on\ntrusted_proxies = ::1 | 127.0.0.1/32\n"
      "allow = 10.0.0.0/8 | 127.0.0.1\n";
  untrusted.name = "q";
  untrusted.listen_port = free_port();
  untrusted.extra = "accept_proxy_protocol = on\ntrusted_proxies = 127.0.0.9\n";
  ASSERT_TRUE(start({trusted, untrusted}, 500));
  const struct {
    const char* what;
    std::vector<std::string> segments;
    bool relayed;
    int port;
  } cases[] = {
      {"v1, bytes in the same segment", {v1 + "payload"}, true, port_},
      {"v1 split", {"PRO", "XY TCP4 10.1.2.3 127.0", ".0.1 4000 7000\r", "\npayload"}, true, port_},
      {"v2", {v2 + "payload"}, true, port_},
      {"v2 split", {v2.substr(0, 5), v2.substr(5, 12), v2.substr(17), "payload"}, true, port_},
      {"v2 LOCAL: the balancer", {kV2Signature + "\x20\x00\x00\x00payload"s}, true, port_},
      {"v1 UNKNOWN: the balancer", {"PROXY UNKNOWN\r\npayload"}, true, port_},
      {"client outside allow", {"PROXY TCP4 192.0.2.1 127.0.0.1 1 2\r\npayload"}, false, port_},
      {"garbage", {"GET / HTTP/1.0\r\n\r\npayload"}, false, port_},
      {"v1 NUL in an address",
       {"PROXY TCP4 10.1.2.3\0x 127.0.0.1 4000 7000\r\npayload"s},
       false,
       port_},
      {"v1 seventh field", {"PROXY TCP4 10.1.2.3 127.0.0.1 4000 7000 1\r\npayload"}, false, port_},
      {"too long", {"PROXY TCP4 " + std::string(120, '1')}, false, port_},
      {"slow", {"PROXY TCP4 10.1.2.3"}, false, port_},
      {"spoofed by an untrusted peer", {v1 + "payload"}, false, untrusted.listen_port},
  };
  for (const auto& c : cases) {
    Fd client = tcp_connect(c.port);
    for (const std::string& segment : c.segments) {
      ASSERT_TRUE(send_all(client.get(), segment.data(), segment.size())) << c.what;
      // Shapes the input into separate segments; the outcome does not depend on it.
      if (c.segments.size() > 1) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(c.relayed ? recv_exact(client.get(), 7) == "payload" : wait_closed(client.get()))
        << c.what;
  }
  EXPECT_TRUE(proc().wait_for_line("clients: bad PROXY header"));
  EXPECT_TRUE(proc().wait_for_line("[WARN] route g refused 1 clients: allow list"));
  EXPECT_TRUE(proc().wait_for_line("[WARN] route q refused 1 clients: untrusted proxy"));
  EXPECT_EQ(tcp_upstream_.bytes_received(), 6 * 7u);
}

// One deadline for the whole header: TLVs that trickle in a byte at a time,
// each well inside the socket time-out, do not hold the connection past it.
TEST_P(ProxyAccept, TrickledTlvsAreCutAtTheHeaderDeadline) {
  RouteSpec route = tcp_route();
  route.extra = "accept_proxy_protocol = on\ntrusted_proxies = 127.0.0.1\n";
  constexpr auto kLimit = 500ms;
  ASSERT_TRUE(start({route}, static_cast<int>(kLimit.count())));
  // The addresses and 1000 bytes of TLVs declared.
  const std::string head = kV2Signature + "\x21\x11"s + be16(12 + 1000) +
                           "\x0a\x01\x02\x03\x7f\x00\x00\x01"s + be16(4000) + be16(7000);
  const auto begin = std::chrono::steady_clock::now();
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(send_all(client.get(), head.data(), head.size()));
  bool closed = false;
  for (int sent = 0; sent < 40 && !closed; ++sent) {
    pollfd ready{client.get(), POLLIN, 0};
    closed = !send_all(client.get(), "\x01", 1) || ::poll(&ready, 1, 150) != 0;
  }
  const auto held = std::chrono::steady_clock::now() - begin;
  EXPECT_TRUE(closed && wait_closed(client.get()));
  EXPECT_LT(held, 2 * kLimit);
  EXPECT_TRUE(proc().wait_for_line("[WARN] route g refused 1 clients: bad PROXY header"));
}

class ProxyUdp : public RelayFixture {};

// The echo upstream sends each datagram back as it came, prefix and all, and
// the reply passes back unchanged.
TEST_P(ProxyUdp, EveryDatagramCarriesAV2Prefix) {
  ASSERT_TRUE(start({{"u", "udp", udp_port_, "127.0.0.1", udp_upstream_.port(), 0, true,
                      "proxy_protocol = v2\n"}}));
  Fd client = udp_connect(udp_port_);
  const std::string prefix = kV2Signature + "\x21\x12\x00\x0c\x7f\x00\x00\x01\x7f\x00\x00\x01"s +
                             be16(local_port(client.get())) + be16(udp_port_);
  for (const std::string payload : {"ping", "again"}) {
    ASSERT_TRUE(udp_send(client.get(), payload));
    EXPECT_EQ(udp_recv(client.get()), prefix + payload);
  }
}

class Ipv6 : public RelayFixture {};

TEST_P(Ipv6, ListensOnLoopbackForTcpAndUdp) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}, 5000, 60000, {}, "::1"));
  EXPECT_TRUE(proc().wait_for_line("listening [::1]:" + std::to_string(port_) + " -> "));
  EXPECT_TRUE(echoes(ip_connect(SOCK_STREAM, "::1", port_).get(), "six"));
  EXPECT_TRUE(echoes(ip_connect(SOCK_DGRAM, "::1", udp_port_).get(), "six"));
}

// IPv4 clients of a dual-stack listener match IPv4 networks and are counted
// per IPv4 address; UDP replies leave from the address the client sent to.
TEST_P(Ipv6, DualStackIpv4ClientsCountAsIpv4) {
  RouteSpec tcp = tcp_route(), udp = udp_route();
  tcp.extra = "max_connections_per_address = 1\nallow = 127.0.0.0/8\n";
  udp.extra = "allow = 127.0.0.0/8\n";
  ASSERT_TRUE(start({tcp, udp}, 5000, 60000, {}, "::"));
  Fd first = tcp_connect(port_);
  EXPECT_TRUE(echoes(first.get(), "one"));
  EXPECT_TRUE(wait_closed(tcp_connect(port_).get()));
  EXPECT_TRUE(proc().wait_for_line("route g refused 1 clients: per-address limit"));
  // The client takes replies from 127.0.0.2 only.
  EXPECT_TRUE(echoes(udp_connect(udp_port_, "127.0.0.2").get(), "four"));
}

TARNWICKET_ON_BOTH_ENGINES(ProxyAccept);
TARNWICKET_ON_BOTH_ENGINES(ProxyUdp);
TARNWICKET_ON_BOTH_ENGINES(Ipv6);

}  // namespace
}  // namespace tarnwicket::test
