#pragma once

// Token buckets that hold one second's worth: `rate` takes may come at once,
// then one every 1/rate s. Each keeps one time, the moment its bucket will be
// full again (the generic cell rate algorithm), so a bucket is one integer and
// a full one is the same as none at all.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tarnwicket {

using RateClock = std::chrono::steady_clock;

// Nanoseconds on RateClock.
inline std::int64_t rate_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(RateClock::now().time_since_epoch())
      .count();
}

// For one thread: a UDP association's datagrams, read by one receiver.
class TokenBucket {
 public:
  bool take(int rate, std::int64_t now);

 private:
  std::int64_t full_at_ = 0;
};

// For any thread: a route's new clients.
class SharedTokenBucket {
 public:
  bool take(int rate, std::int64_t now);

 private:
  std::atomic<std::int64_t> full_at_{0};
};

// One bucket per client IP address (address_key form).
class AddressRates {
 public:
  // Buckets kept at most; beyond, an address not yet known passes unmetered,
  // since the route's own rate still holds.
  static constexpr std::size_t kMostAddresses = 1 << 17;
  // Full buckets are swept out at most once a second from this many on.
  static constexpr std::size_t kSweepFrom = 1024;

  bool take(const std::string& address, int rate, std::int64_t now);
  std::size_t size();
  // Forgets the buckets full again by `now`, which are the same as none.
  void sweep(std::int64_t now);

 private:
  void sweep_locked(std::int64_t now);

  std::mutex mutex_;  // a leaf lock
  std::unordered_map<std::string, std::int64_t> full_at_;
  std::int64_t next_sweep_ = 0;
};

}  // namespace tarnwicket
