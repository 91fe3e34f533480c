#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarnwicket {

struct IniFile;

// An IPv4 or IPv6 network in CIDR form ("10.0.0.0/8", "2001:db8::/32"); a
// bare address is a /32 or a /128.
struct IpNetwork {
  std::array<std::uint8_t, 16> address{};  // network byte order, host bits cleared
  int prefix = 32;
  int family = AF_INET;  // AF_INET uses the first 4 bytes of `address`

  // `host` holds 4 bytes for AF_INET, 16 for AF_INET6.
  bool contains(int host_family, const std::uint8_t* host) const;
};

// The network written in `text`, or nullopt when it is not one.
std::optional<IpNetwork> parse_network(const std::string& text);

// Fields in the order their keys came, as stored records expect: padding is
// the price, paid once per route and file.
struct ServerRoute {  // NOLINT(clang-analyzer-optin.performance.Padding)
  std::string name;
  std::string protocol = "tcp";  // "tcp", "udp" or "both"
  int listen_port = 0;
  std::string target_host;
  int target_port = 0;
  int max_connections = 4096;                // TCP connections, and separately UDP associations
  bool enabled = true;                       // disabled routes are kept but never checked or served
  int max_connections_per_address = 0;       // per client IP, TCP and UDP apart; 0: no limit
  int udp_first_reply_timeout_ms = 0;        // life of an association never answered; 0: idle rule
  std::vector<std::string> allow;            // networks; empty: everyone
  int udp_receive_buffer_bytes = 0;          // SO_RCVBUF of the UDP socket; 0: the kernel's default
  std::string proxy_protocol = "off";        // header sent upstream: "off", "v1" or "v2"
  bool accept_proxy_protocol = false;        // TCP clients begin with a header from a trusted proxy
  std::vector<std::string> trusted_proxies;  // networks that may send that header
  bool transparent = false;                  // upstream sockets leave from the client's own address
  std::optional<int> connection_timeout_ms;  // unset: the server's
  std::optional<int> udp_idle_timeout_ms;    // unset: the server's
  std::vector<std::string> deny;             // networks refused, whatever allow says
  int new_clients_per_second = 0;            // new TCP clients, and apart UDP associations; 0: off
  int new_clients_per_address_per_second = 0;   // the same per client IP; 0: off
  int udp_datagrams_per_second_per_client = 0;  // toward the upstream; 0: off
  bool udp_evict_unconfirmed = false;           // a full table makes room by the oldest unconfirmed

  bool operator==(const ServerRoute&) const = default;
};

struct ServerConfig {
  std::string listen_address = "0.0.0.0";
  int connection_timeout_ms = 5000;
  int udp_idle_timeout_ms = 60000;
  std::vector<ServerRoute> routes;  // every route section, in section order
  int admin_port = 0;               // metrics and health over HTTP; 0: off
  std::string admin_address = "127.0.0.1";
  int drain_timeout_ms = 30000;  // longest graceful drain before the stop
  // Networks that may reach the admin port; empty: everyone.
  std::vector<std::string> admin_allow;
  std::string engine = "threads";     // relay engine: "threads" or "events"; read at start
  int worker_threads = 0;             // event loops of the events engine; 0: one per usable CPU
  std::string log_refusals = "each";  // "each": a line per refusal; "summary": once a second
  std::string session_log;            // session records: empty (off), "stdout" or a file path
  std::string session_log_format = "json";     // "json" or "text"
  std::string session_log_address = "masked";  // "full", "masked", "hashed" or "none"
  std::string log_format = "text";             // the main log: "text" or "json"
};

// Reads and validates the file; throws std::runtime_error with the message.
ServerConfig load_server_config(const std::filesystem::path& path);
// The same for a document already loaded, whose getters record what was read.
ServerConfig read_server_config(const IniFile& ini);

// Throws std::runtime_error with the message of the first rule that fails.
void validate_server_config(const ServerConfig& config);

}  // namespace tarnwicket
