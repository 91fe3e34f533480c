#include "gateway/rate_limit.h"

#include <algorithm>

namespace tarnwicket {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

// Takes a token from the bucket full again at `full_at`; false, and the
// bucket unchanged, when it holds none.
bool next_full_at(std::int64_t& full_at, int rate, std::int64_t now) {
  const std::int64_t interval = kSecond / std::max(rate, 1);
  const std::int64_t from = std::max(full_at, now);
  // A take is allowed while the bucket is short of less than a whole second.
  if (from + interval - now > kSecond) return false;
  full_at = from + interval;
  return true;
}

}  // namespace

bool TokenBucket::take(int rate, std::int64_t now) { return next_full_at(full_at_, rate, now); }

bool SharedTokenBucket::take(int rate, std::int64_t now) {
  std::int64_t current = full_at_.load(std::memory_order_relaxed);
  for (;;) {
    std::int64_t next = current;
    if (!next_full_at(next, rate, now)) return false;
    if (full_at_.compare_exchange_weak(current, next, std::memory_order_relaxed)) return true;
  }
}

bool AddressRates::take(const std::string& address, int rate, std::int64_t now) {
  std::lock_guard lock(mutex_);
  if (full_at_.size() >= kSweepFrom && now >= next_sweep_) sweep_locked(now);
  auto it = full_at_.find(address);
  if (it == full_at_.end()) {
    std::int64_t full_at = 0;
    next_full_at(full_at, rate, now);  // a full bucket always holds a token
    if (full_at_.size() < kMostAddresses) full_at_.emplace(address, full_at);
    return true;
  }
  return next_full_at(it->second, rate, now);
}

std::size_t AddressRates::size() {
  std::lock_guard lock(mutex_);
  return full_at_.size();
}

void AddressRates::sweep(std::int64_t now) {
  std::lock_guard lock(mutex_);
  sweep_locked(now);
}

void AddressRates::sweep_locked(std::int64_t now) {
  std::erase_if(full_at_, [now](const auto& entry) { return entry.second <= now; });
  next_sweep_ = now + kSecond;
}

}  // namespace tarnwicket
