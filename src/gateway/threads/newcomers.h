#pragma once

// Datagrams from clients that have no association yet, held by the thread
// engine's receiving thread while the socket still has datagrams to read.
// Setting up an association (a socket, a connect, a thread) costs far more
// than relaying a datagram; under a flood of new sources, a known client's
// datagram would otherwise wait behind every stranger's set-up. Each
// client's own datagrams keep their order: none of a held client's datagrams
// is relayed before its first.

#include <sys/socket.h>

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwicket {

struct Newcomer {
  std::string key;
  sockaddr_storage from{};  // as received: replies go there
  socklen_t from_len = 0;
  sockaddr_storage client{};       // `from` with IPv4 unmapped
  sockaddr_storage destination{};  // where it was sent to (wildcard sockets)
  std::vector<char> data;
};

class Newcomers {
 public:
  bool empty() const { return held_.empty(); }
  // No more are taken: the held ones are served before the socket is read again.
  bool full() const { return held_.size() >= kMostHeld || bytes_ >= kMostBytes; }

  void add(Newcomer newcomer) {
    bytes_ += newcomer.data.size();
    held_.push_back(std::move(newcomer));
  }
  Newcomer take_first() {
    Newcomer first = std::move(held_.front());
    held_.pop_front();
    bytes_ -= first.data.size();
    return first;
  }
  // The remaining datagrams of `key`, in the order they came, once the
  // client has its association.
  template <class Fn>
  void take_each_of(std::string_view key, Fn&& fn) {
    for (auto it = held_.begin(); it != held_.end();) {
      if (it->key != key) {
        ++it;
        continue;
      }
      Newcomer next = std::move(*it);
      it = held_.erase(it);
      bytes_ -= next.data.size();
      fn(next);
    }
  }

 private:
  static constexpr std::size_t kMostHeld = 256;
  static constexpr std::size_t kMostBytes = std::size_t{1} << 20;

  std::deque<Newcomer> held_;
  std::size_t bytes_ = 0;
};

}  // namespace tarnwicket
