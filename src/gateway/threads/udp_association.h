#pragma once

// One UDP association of the thread engine: shared by the table, the
// receiving thread while it forwards a datagram, and its response thread.

#include <sys/socket.h>

#include <string>

#include "gateway/admission.h"
#include "gateway/threads/thread_engine.h"
#include "gateway/udp_guard.h"
#include "net/fd.h"

namespace tarnwicket {

// One UDP client (address and port) of one route.
struct ThreadRelay::UdpAssociation {
  explicit UdpAssociation(const ServerRoute& route) : guard(route) {}

  Ticket ticket;  // declared first: given back after the socket's close
  std::string key;
  UniqueFd upstream;  // connected to the upstream; fixed while the association lives
  sockaddr_storage client_addr{};
  socklen_t client_addr_len = 0;
  sockaddr_storage
      local_addr{};          // where the client sent to; replies leave from it (wildcard sockets)
  std::string proxy_prefix;  // sent upstream before every datagram; empty: none
  int idle_timeout_ms = 0;   // set on the first reply when the first wait was shorter
  UdpGuard guard;
};

}  // namespace tarnwicket
