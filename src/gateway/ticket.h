#pragma once

// One admitted client: a TCP connection or a UDP association. The ticket
// holds the client's place in its route's open count and, with a
// per-address limit, in its address's count, and gives both back when it is
// released or destroyed. Both engines and both protocols hold it the same way.

#include <string>

#include "gateway/route_stats.h"
#include "gateway/session.h"

namespace tarnwicket {

class AddressCounts;

class Ticket {
 public:
  Ticket() = default;
  Ticket(Ticket&& other) noexcept { *this = std::move(other); }
  Ticket& operator=(Ticket&& other) noexcept;
  Ticket(const Ticket&) = delete;
  Ticket& operator=(const Ticket&) = delete;
  ~Ticket() { release(); }

  // Holds a place; false once released, or when the client was refused.
  explicit operator bool() const { return open_ != nullptr; }
  // Gives the places back now; later calls do nothing.
  void release() noexcept;

  // What the session's record needs; the relay fills in more as it goes.
  Session& session() { return session_; }
  const Session& session() const { return session_; }

 private:
  friend class Admission;
  void start(const sockaddr_storage& client);

  Gauge* open_ = nullptr;
  AddressCounts* counts_ = nullptr;  // where address_ is counted; null: not counted
  std::string address_;
  Session session_;
};

}  // namespace tarnwicket
