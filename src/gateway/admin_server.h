#pragma once

// The admin listener: GET /metrics, /healthz and /readyz over HTTP/1.1, served
// by a fixed pool of threads that stop() joins. Requests are bounded in size
// and in the time between reads, so slow or hostile clients hold at most the
// pool's threads, each for a few seconds at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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

  // Binds address:port (network byte order) and starts serving; false when
  // the port cannot be bound. Throws std::system_error when no thread can be made.
  bool start(std::uint32_t address, int port);
  // Closes the listener and every connection, and joins every thread. Idempotent.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnwicket
