// The TCP side: accept within the route's limit, connect upstream, and pump
// bytes both ways on two threads until either direction ends.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "gateway/proxy_protocol.h"
#include "gateway/run_state.h"
#include "gateway/threads/thread_engine.h"
#include "log/logger.h"
#include "net/address.h"
#include "net/stream.h"
#include "net/transparent.h"

namespace tarnwicket {

namespace {

constexpr std::size_t kRelayChunkBytes = 65536;
constexpr std::chrono::milliseconds kResourceBackoff{100};

// Thrown when the connection ends because the gateway stops: nothing to report.
struct Stopping {};

// The PROXY header for `from` -> the client socket's own address. Out of line,
// so that neither address is on the client thread's stack during the upstream
// lookup, the thread's deepest point.
[[gnu::noinline]] bool send_proxy_header(int upstream_fd, const std::string& version,
                                         const sockaddr_storage& from, int client_fd) {
  const sockaddr_storage local = unmapped(local_address(client_fd));
  const std::string header =
      version == "v1" ? proxy_header_v1(from, local) : proxy_header_v2(from, local, false);
  return send_all(upstream_fd, header.data(), header.size());
}

}  // namespace

void ThreadRelay::accept_loop() {
  const std::string& name = route_.name;
  while (serving(accepting_)) {
    sockaddr_storage from{};
    UniqueFd client(accept_client(route_.tcp_fd, from));
    if (!client) {
      const int err = errno;
      if (!serving(accepting_)) return;  // the listener was shut down to close it
      logger_.warn("accept failed on route ", name);
      if (is_unusable_socket_error(err)) return;
      if (is_resource_error(err)) run_.pause_unless_stopping(kResourceBackoff);
      continue;
    }
    try {
      socklen_t from_len = sizeof from;
      unmap_ipv4(from, from_len);
      // The connection keeps the settings it came in under, whatever a reload does.
      Settings settings = route_.settings();
      Ticket ticket;
      Refusal why = kLimit;
      if (settings->route.accept_proxy_protocol) {
        // Only a trusted balancer may speak for its clients; which client it
        // speaks for is read in the client's own thread, and admitted there.
        if (!allowed(settings->trusted_proxies, from)) {
          route_.admission.refuse(kTcp, kUntrustedProxy);
          shutdown_fd(client.get());
          continue;
        }
        ticket = route_.admission.reserve(kTcp, *settings, &why);
      } else {
        ticket = route_.admission.admit(kTcp, *settings, from, &why);
      }
      if (!ticket) {
        shutdown_fd(client.get());
        if (why != kLimit || settings->summarize_refusals) continue;
        client.reset();
        logger_.warn("connection limit reached on route ", name);
        continue;
      }
      spawn_client(std::move(settings), std::move(client), std::move(ticket), from);
    } catch (const std::exception& e) {
      logger_.warn("route ", name, " connection closed: ", e.what());
    } catch (...) {
      // Nothing that fails for one client may end the route's intake.
    }
  }
}

void ThreadRelay::spawn_client(Settings settings, UniqueFd client, Ticket ticket,
                               const sockaddr_storage& from) {
  // Whichever step fails, the closure goes with the client socket and the ticket.
  ListedFd listed(client_fds_, std::move(client));
  client_threads_.spawn([this, settings = std::move(settings), listed = std::move(listed),
                         ticket = std::move(ticket), from = from]() mutable {
    handle_client(*settings, std::move(listed), std::move(ticket), from);
  });
}

bool ThreadRelay::admit_proxied(const RouteSettings& settings, int client_fd, Ticket& ticket,
                                sockaddr_storage& from) {
  const std::chrono::milliseconds limit(settings.connection_timeout_ms);
  const std::optional<ProxyHeader> header = read_proxy_header(client_fd, limit);
  set_receive_timeout(client_fd, settings.connection_timeout_ms);
  if (!header) {
    route_.admission.refuse(kTcp, kBadProxyHeader);
    return false;
  }
  // A LOCAL header is the balancer's own connection, a health check.
  if (!header->local) from = unmapped(header->source);
  return route_.admission.admit_client(kTcp, ticket, settings, from);
}

void ThreadRelay::handle_client(const RouteSettings& settings, ListedFd client, Ticket ticket,
                                sockaddr_storage& from) {
  const ServerRoute& route = settings.route;
  set_receive_timeout(client.get(), settings.connection_timeout_ms);
  set_send_timeout(client.get(), settings.connection_timeout_ms);
  set_nodelay(client.get());
  bool admitted = false;  // a refused client is counted, not recorded
  SessionEnd end = SessionEnd::kError;
  try {
    admitted = !route.accept_proxy_protocol || admit_proxied(settings, client.get(), ticket, from);
    if (admitted) {
      ListedFd upstream = connect_upstream(settings, from, client.get(), ticket.session(), end);
      end = relay(client.get(), upstream.get(), settings.connection_timeout_ms, ticket.session());
      // Unread bytes would turn the closes into resets.
      discard_readable(client.get());
      discard_readable(upstream.get());
    }
  } catch (const Stopping&) {
    end = cut_end(run_);
  } catch (const std::exception& e) {
    logger_.warn("route ", route_.name, " connection closed: ", e.what());
  } catch (...) {
    // Only this connection is given up; the ticket must still come back.
  }
  if (admitted) route_.sessions.ended(kTcp, ticket.session(), end);
  // Before the client's close, so that a client that sees it may retry at once.
  ticket.release();
}

ListedFd ThreadRelay::connect_upstream(const RouteSettings& settings, const sockaddr_storage& from,
                                       int client_fd, Session& session, SessionEnd& end) {
  const ServerRoute& route = settings.route;
  Counter& failures = route_.stats.tcp().connect_failures;
  end = SessionEnd::kUpstreamConnectFailed;
  AddrinfoList list =
      resolve_target(route.target_host, route.target_port, SOCK_STREAM, IPPROTO_TCP);
  if (!list) {
    add(failures);
    throw std::runtime_error("解析 TCP 上游地址失败");
  }
  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    UniqueFd fd = open_socket_for(*entry);
    if (!fd || (route.transparent && !bind_transparent(fd.get(), from, false))) continue;
    // The send time-out bounds the connect and, later, a pump blocked sending
    // to an upstream that reads nothing. No receive time-out: a quiet game
    // server keeps its connection. Listed before the connect, so that a stop
    // aborts a connect in progress and wakes a blocked pump.
    set_send_timeout(fd.get(), settings.connection_timeout_ms);
    ListedFd upstream(client_fds_, std::move(fd));
    const auto began = std::chrono::steady_clock::now();
    if (!connect_socket(upstream.get(), *entry)) continue;
    route_.sessions.connected(std::chrono::steady_clock::now() - began);
    std::memcpy(&session.upstream, entry->ai_addr, entry->ai_addrlen);
    if (route.proxy_protocol != "off" &&
        !send_proxy_header(upstream.get(), route.proxy_protocol, from, client_fd)) {
      end = send_end(false, errno);
      throw std::runtime_error("向 TCP 上游发送 PROXY 头失败");
    }
    end = SessionEnd::kError;
    return upstream;
  }
  // A stop shuts the socket down under a connect in progress: not the upstream's failure.
  if (!run_.running()) throw Stopping{};
  add(failures);
  throw std::runtime_error("连接 TCP 上游失败 " + route.target_host + ":" +
                           std::to_string(route.target_port));
}

void ThreadRelay::wait_until_acknowledged(int first_fd, int second_fd, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::chrono::milliseconds pause{1};
  // Both have sent their FIN, which counts as one byte until it is acknowledged;
  // ACKs are cumulative, so one left means all the data has arrived.
  while (unacknowledged_bytes(first_fd) > 1 || unacknowledged_bytes(second_fd) > 1) {
    if (!run_.running() || Clock::now() >= deadline) return;
    run_.pause_unless_stopping(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds{50});
  }
}

namespace {

struct PumpArgs {
  int from;
  int to;
  const char* label;
  Counter* relayed;
  Counter* session;  // the same bytes, for the session's record
  bool from_client;
};

}  // namespace

SessionEnd ThreadRelay::relay(int client_fd, int upstream_fd, int timeout_ms, Session& session) {
  std::atomic<bool> stopped{false};
  SessionEnd end = SessionEnd::kError;  // the first pump's, written before `replies` is joined
  auto pump = [this, &stopped, &end, timeout_ms](PumpArgs args) {
    // On the pump's own stack: pages cost memory only once data has touched them.
    char buffer[kRelayChunkBytes];
    bool delivered = true;  // every byte read was passed on
    SessionEnd why = SessionEnd::kError;
    while (!stopped.load()) {
      const ssize_t n = recv_some(args.from, buffer, sizeof buffer);
      if (n <= 0) {
        why = read_end(args.from_client, n, errno);
        break;
      }
      if (!send_all(args.to, buffer, static_cast<std::size_t>(n))) {
        why = send_end(!args.from_client, errno);
        delivered = false;
        break;
      }
      add(*args.relayed, static_cast<std::uint64_t>(n));
      add(*args.session, static_cast<std::uint64_t>(n));
    }
    // The first pump to end ends both directions (no half-close): a FIN each
    // way after what is queued, which also wakes the other pump when it is
    // blocked sending. Reading goes on until the peers have acknowledged what
    // was sent them: data arriving on a socket shut down for reading makes
    // Linux reset it, and the reset drops whatever is still queued.
    const bool first = !stopped.exchange(true);
    if (first) {
      // What a stop's shutdown looks like is no peer's doing.
      end = run_.running() ? why : cut_end(run_);
      shutdown_writes(args.to);
      shutdown_writes(args.from);
    }
    logger_.info("route ", route_.name, " relay ended ", args.label);
    if (!first) return;
    if (delivered) wait_until_acknowledged(args.to, args.from, timeout_ms);
    // Wakes the other pump when it is blocked reading; sending, it has
    // already been woken by the shutdown of writes.
    shutdown_fd(args.to);
  };
  Counter* bytes = route_.stats.tcp().bytes;
  // The replies get a thread of their own; this thread, idle until the end
  // otherwise, pumps the client's bytes: one thread fewer to start and to hold.
  std::thread replies(pump,
                      PumpArgs{upstream_fd, client_fd, "server->client", &bytes[kServerToClient],
                               &session.bytes[kServerToClient], false});
  try {
    pump(PumpArgs{client_fd, upstream_fd, "client->server", &bytes[kClientToServer],
                  &session.bytes[kClientToServer], true});
  } catch (...) {
    // Only the logger can throw: the other pump must still be woken and joined.
    stopped.store(true);
    shutdown_fd(client_fd);
    shutdown_fd(upstream_fd);
    replies.join();
    throw;
  }
  replies.join();
  return end;
}

}  // namespace tarnwicket
