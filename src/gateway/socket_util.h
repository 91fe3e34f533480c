#pragma once

// Every raw socket call of the gateway lives behind these helpers. They retry
// EINTR themselves, never raise SIGPIPE, and report failure through their
// result with errno left as the failing call set it.

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Descriptors that another thread (stop()) may shut down to wake the thread
// blocked on them. Its mutex is a leaf lock.
class FdList {
 public:
  // Shuts down every listed descriptor, and from then on every one that is
  // listed later, at once.
  void shutdown_all();
  // Lets descriptors listed from now on live again, for the next run.
  void reopen();

 private:
  friend class ListedFd;
  std::mutex mutex_;
  std::vector<int> fds_;
  bool shutting_down_ = false;
};

// Owns a descriptor while it is on an FdList: listed when made, taken off the
// list before it is shut down and closed, so that the list never holds a
// number that the system may already have handed to another socket.
class ListedFd {
 public:
  ListedFd(FdList& list, UniqueFd fd);  // on failure (std::bad_alloc) fd is closed
  ~ListedFd();
  ListedFd(ListedFd&& other) noexcept : list_(other.list_), fd_(std::exchange(other.fd_, -1)) {}
  ListedFd& operator=(ListedFd&&) = delete;
  ListedFd(const ListedFd&) = delete;
  ListedFd& operator=(const ListedFd&) = delete;

  int get() const { return fd_; }

 private:
  FdList* list_;
  int fd_;
};

struct AddrinfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoDeleter>;

// Addresses of host:port in resolver order: the address itself for an IPv6
// literal, else IPv4 ones; null when resolution fails.
AddrinfoList resolve_target(const std::string& host, int port, int socktype, int protocol);

// A socket of the entry's kind connected to it, or an empty UniqueFd.
UniqueFd connect_to(const addrinfo& entry);
// The two steps of connect_to, for a socket that must be listed or given
// options before it connects. A send time-out on the socket bounds the
// connect; a shutdown from another thread aborts it.
UniqueFd open_socket_for(const addrinfo& entry);
bool connect_socket(int fd, const addrinfo& entry);

// Bound (and for TCP listening) sockets on an IPv4 or IPv6 address (its port
// is ignored); empty on failure. TCP listeners reuse addresses in TIME_WAIT
// only. The IPv6 wildcard listens dual stack: IPv4 clients arrive IPv4-mapped.
UniqueFd open_tcp_listener(const sockaddr_storage& address, int port, int backlog);
UniqueFd open_udp_socket(const sockaddr_storage& address, int port);
// A TCP listener on an IPv4 address in network byte order.
UniqueFd open_tcp_listener(std::uint32_t address, int port, int backlog);
// The numeric address `text` (IPv4 or IPv6) with port 0, or nullopt.
std::optional<sockaddr_storage> parse_ip_address(const std::string& text);

// Sends one datagram from a fresh AF_UNIX socket to `path`; a leading '@' names
// an abstract socket. False when the path is unusable or the send fails.
bool send_unix_datagram(std::string_view path, std::string_view data);

// Shuts a descriptor down in both directions, which wakes a thread blocked
// on it; a no-op for -1.
void shutdown_fd(int fd);
// Shuts down, closes and sets the field to -1.
void shutdown_and_close(int& fd);

// Option setters; failures are ignored, as the relay works without them.
void set_receive_timeout(int fd, int timeout_ms);
// Asks for a receive buffer of `bytes`; returns how much of it the kernel
// granted (net.core.rmem_max caps it).
int set_receive_buffer(int fd, int bytes);
// Makes recv_from report each datagram's destination address, which on a
// socket bound to the wildcard address tells which of the host's addresses
// the client sent to.
void report_destination_address(int fd);
void set_send_timeout(int fd, int timeout_ms);
void set_nodelay(int fd);

int accept_client(int listener, sockaddr_storage& from);  // -1 on failure
ssize_t recv_some(int fd, void* buffer, std::size_t size);
// With a non-null `destination`, also the address the datagram was sent to
// (see report_destination_address), or AF_UNSPEC when unknown; an IPv6 one
// carries its interface as scope id when it is link-local.
ssize_t recv_from(int fd, void* buffer, std::size_t size, sockaddr_storage& from,
                  socklen_t& from_len, sockaddr_storage* destination = nullptr);
bool send_all(int fd, const char* data, std::size_t size);
ssize_t send_datagram(int fd, const char* data, std::size_t size);
// One datagram of `head` followed by `data`, without copying them together.
ssize_t send_datagram_after(int fd, std::string_view head, const char* data, std::size_t size);
// Sent from `source` when it is an address (a socket bound to the wildcard
// address), else from the socket's own address.
ssize_t send_datagram_to(int fd, const char* data, std::size_t size, const sockaddr_storage& to,
                         socklen_t to_len, const sockaddr_storage* source = nullptr);

// For a header at the start of a stream: waits until at least `at_least`
// bytes are readable (within the receive time-out) and copies up to `size`
// of them without consuming any; fewer on close or time-out.
ssize_t peek_at_least(int fd, void* buffer, std::size_t size, std::size_t at_least);
// Reads and drops exactly `size` bytes; false when they do not all come.
bool discard_exactly(int fd, std::size_t size);
// The local address of a socket; AF_UNSPEC on failure.
sockaddr_storage local_address(int fd);

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
