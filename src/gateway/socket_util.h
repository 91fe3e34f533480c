#pragma once

// Every raw socket call of the gateway lives behind these helpers. They retry
// EINTR themselves, never raise SIGPIPE, and report failure through their
// result with errno left as the failing call set it.

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tarnwicket {

// Owns a descriptor that one thread owns; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

struct AddrinfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoDeleter>;

// IPv4 addresses of host:port in resolver order; null when resolution fails.
AddrinfoList resolve_ipv4(const std::string& host, int port, int socktype, int protocol);

// A socket of the entry's kind connected to it, or an empty UniqueFd.
UniqueFd connect_to(const addrinfo& entry);

// Bound (and for TCP listening) sockets on an IPv4 address in network byte
// order; empty on failure. TCP listeners reuse addresses in TIME_WAIT only.
UniqueFd open_tcp_listener(std::uint32_t address, int port, int backlog);
UniqueFd open_udp_socket(std::uint32_t address, int port);

// A second descriptor of the same socket (close-on-exec); empty on failure.
UniqueFd duplicate_fd(int fd);

// Shuts a descriptor down in both directions, which wakes a thread blocked
// on it; a no-op for -1.
void shutdown_fd(int fd);
// Shuts down, closes and sets the field to -1.
void shutdown_and_close(int& fd);

// Option setters; failures are ignored, as the relay works without them.
void set_timeouts(int fd, int timeout_ms, bool receive, bool send);
void set_nodelay(int fd);

int accept_client(int listener);  // -1 on failure
ssize_t recv_some(int fd, void* buffer, std::size_t size);
ssize_t recv_from(int fd, void* buffer, std::size_t size, sockaddr_storage& from,
                  socklen_t& from_len);
bool send_all(int fd, const char* data, std::size_t size);
ssize_t send_datagram(int fd, const char* data, std::size_t size);
ssize_t send_datagram_to(int fd, const char* data, std::size_t size, const sockaddr_storage& to,
                         socklen_t to_len);

// Errors after which a listening socket is of no further use.
bool is_unusable_socket_error(int err);
// Errors that mean the process or system is short of descriptors or memory.
bool is_resource_error(int err);

// Numeric "host:port" of an address, as getnameinfo writes it with numeric
// host and service, or "unknown". Writes into `out` and returns a view of it.
inline constexpr std::size_t kClientKeyBytes = 1025 + 1 + 32;
std::string_view client_key(const sockaddr_storage& address, socklen_t length,
                            char (&out)[kClientKeyBytes]);

}  // namespace tarnwicket
