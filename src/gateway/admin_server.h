#pragma once

// The admin listener: GET /metrics, /healthz and /readyz over HTTP/1.1, served
// by two threads, each polling its share of a bounded number of connections;
// stop() joins them. A request's head is bounded in size and a connection in
// its silence, so a slow or hostile client holds one connection slot for a few
// seconds at a time and no thread. The slots far outnumber what probes and
// scrapes need, and one address holds at most a quarter of them, so clients
// that hold connections open do not keep probes out. Addresses outside the
// allow list are closed before anything is read.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/server_config.h"

namespace tarnwicket {

class AdminServer {
 public:
  struct Handlers {
    std::function<std::string()> metrics;  // the exposition text
    std::function<bool()> ready;
    std::function<bool()> draining;  // tells why it is not ready; may be empty
  };

  explicit AdminServer(Handlers handlers);
  ~AdminServer();  // stops
  AdminServer(const AdminServer&) = delete;
  AdminServer& operator=(const AdminServer&) = delete;

  // Binds address:port (network byte order) and starts serving the clients
  // that `allowed` holds (empty: everyone); false when the port cannot be
  // bound. Throws std::system_error when the server cannot start (no thread
  // or descriptor could be made).
  bool start(std::uint32_t address, int port, std::vector<IpNetwork> allowed);
  // Closes the listener and every connection, and joins every thread. Idempotent.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnwicket
