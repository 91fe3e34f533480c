#pragma once

// Who may come in beyond the route's own limit: per-address counts, allow
// lists, and refusal tallies that are logged at most once a second.

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/server_config.h"

namespace tarnwicket {

// True when the list is empty or a network of it holds the address.
bool allowed(const std::vector<IpNetwork>& networks, const sockaddr_storage& address);

// Live connections or associations per client IP address.
class AddressCounts {
 public:
  // Counts one more for the address unless it already has `limit`.
  bool try_add(const std::string& address, int limit);
  void remove(const std::string& address);

 private:
  std::mutex mutex_;  // a leaf lock
  std::unordered_map<std::string, int> counts_;
};

// Refusals of one reason on one route since the last line that reported them.
class RefusalTally {
 public:
  void add() { pending_.fetch_add(1, std::memory_order_relaxed); }
  std::uint64_t take() { return pending_.exchange(0, std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> pending_{0};
};

}  // namespace tarnwicket
