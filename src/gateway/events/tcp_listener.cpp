// A route's TCP listener as one loop watches it: accepted and admitted as the
// thread engine's accept loop does (threads/tcp_relay.cpp), then handed to a
// session on the same loop.

#include <sys/socket.h>

#include <cerrno>

#include "gateway/events/event_engine.h"
#include "gateway/events/tcp_session.h"
#include "log/logger.h"
#include "net/address.h"
#include "net/stream.h"

namespace tarnwicket {

namespace {

constexpr std::chrono::milliseconds kResourceBackoff{100};
constexpr int kAcceptsPerTurn = 64;

}  // namespace

void TcpListener::listen() {
  const int fd = relay_.route().tcp_fd;
  if (fd_ >= 0 || fd < 0 || backoff_ != 0) return;
  // Every loop watches the listener; EPOLLEXCLUSIVE wakes one of them per client.
  if (loop_.watch(fd, EPOLLIN | EPOLLEXCLUSIVE, this, 0)) fd_ = fd;
}

void TcpListener::close() {
  loop_.disarm(backoff_);
  if (fd_ >= 0) loop_.unwatch(fd_);
  fd_ = -1;
}

void TcpListener::on_timer() {
  backoff_ = 0;
  if (relay_.accepting()) listen();
}

void TcpListener::on_io(int /*side*/, std::uint32_t /*events*/) {
  for (int i = 0; i < kAcceptsPerTurn && fd_ >= 0; ++i) {
    if (!relay_.accepting()) return close();
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    int fd;
    do {
      fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&from), &from_len,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      take(UniqueFd(fd), from);
      continue;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) return;  // another loop took the client
    if (!relay_.accepting()) return close();          // the listener was shut down to close it
    relay_.logger().warn("accept failed on route ", relay_.route().name);
    if (is_unusable_socket_error(err)) return close();
    if (is_resource_error(err)) {
      // Level-triggered: until the pause is over this loop stops watching.
      close();
      backoff_ = loop_.arm(loop_.now() + kResourceBackoff, this);
      return;
    }
  }
}

void TcpListener::take(UniqueFd client, sockaddr_storage from) {
  Route& route = relay_.route();
  try {
    socklen_t from_len = sizeof from;
    unmap_ipv4(from, from_len);
    // The connection keeps the settings it came in under, whatever a reload does.
    Settings settings = route.settings();
    Ticket ticket;
    Refusal why = kLimit;
    if (settings->route.accept_proxy_protocol) {
      // Only a trusted balancer may speak for its clients; the header names them later.
      if (!allowed(settings->trusted_proxies, from)) {
        route.admission.refuse(kTcp, kUntrustedProxy);
        shutdown_fd(client.get());
        return;
      }
      ticket = route.admission.reserve(kTcp, *settings, &why);
    } else {
      ticket = route.admission.admit(kTcp, *settings, from, &why);
    }
    if (!ticket) {
      shutdown_fd(client.get());
      if (why != kLimit || settings->summarize_refusals) return;
      client.reset();
      relay_.logger().warn("connection limit reached on route ", route.name);
      return;
    }
    auto session = std::make_shared<TcpSession>(relay_, loop_, std::move(settings),
                                                std::move(client), std::move(ticket), from);
    loop_.adopt(session);
    session->begin();
  } catch (const std::exception& e) {
    relay_.logger().warn("route ", route.name, " connection closed: ", e.what());
  } catch (...) {
    // Nothing that fails for one client may end the route's intake.
  }
}

}  // namespace tarnwicket
