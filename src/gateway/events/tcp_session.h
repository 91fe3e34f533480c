#pragma once

// The TCP side of the event engine: a route's listener as one loop watches
// it, and one client from its accept to its close.

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

#include "gateway/events/buffer_pool.h"
#include "gateway/events/loop.h"
#include "gateway/route_settings.h"
#include "gateway/ticket.h"
#include "net/address.h"
#include "net/fd.h"

namespace tarnwicket {

class EventRelay;

class TcpListener final : public Watcher {
 public:
  TcpListener(EventRelay& relay, Loop& loop) : relay_(relay), loop_(loop) {}
  // The loop's thread: starts or stops watching the route's listener.
  void listen();
  void close();
  void on_io(int side, std::uint32_t events) override;
  void on_timer() override;  // the back-off after a resource failure is over

 private:
  // One accepted client: admitted or refused as the thread engine does.
  void take(UniqueFd client, sockaddr_storage from);

  EventRelay& relay_;
  Loop& loop_;
  int fd_ = -1;  // the listener while watched
  std::uint64_t backoff_ = 0;
};

class TcpSession final : public Watcher {
 public:
  TcpSession(EventRelay& relay, Loop& loop, Settings settings, UniqueFd client, Ticket ticket,
             const sockaddr_storage& from);
  ~TcpSession() override;
  void begin();
  void on_io(int side, std::uint32_t events) override;
  void on_timer() override;

 private:
  enum class Phase { kHeader, kConnecting, kSendingHeader, kRelaying, kClosing, kClosed };
  enum Side { kClient = 0, kUpstream = 1 };
  // One direction of the relay: what it read and has still to send on.
  struct Flow {
    BufferPool::Buffer buffer;  // only while bytes wait to be sent
    std::size_t offset = 0, length = 0;
    Clock::time_point since;  // when its current wait, to read or to send, began
    bool sending() const { return offset < length; }
  };

  // The steps, in order; each ends the session itself when it fails.
  void read_header(std::uint32_t events);
  void bad_header();
  void start_connect();
  void connect_next();
  void connect_event(std::uint32_t events);
  void give_up_target();
  void connected();
  void send_header();
  void start_relay();
  void relay_event(int side, std::uint32_t events);
  // Moves bytes of direction `d` until it must wait; false once the relay ended.
  bool pump(int d);
  // `delivered`: every byte the first direction read was passed on, so its
  // tail is worth waiting for.
  void end_relay(int first, bool delivered, SessionEnd why);
  void closing_event(int side, std::uint32_t events);
  void check_acknowledged();
  void close_after_tails();
  void end_second();
  void fail(const std::string& message);
  // The first cause of the end wins; a stop's shutdown is no peer's doing.
  void ending(SessionEnd why);
  void finish();

  void watch(int side, std::uint32_t events);
  void unwatch(int side);
  void update_interest();
  void schedule();
  Clock::time_point deadline() const;
  Clock::duration timeout() const;
  int fd(int side) const;
  static bool would_block(ssize_t n);

  EventRelay& relay_;
  Loop& loop_;
  Settings settings_;
  Ticket ticket_;
  std::optional<ListedFd> client_, upstream_;
  sockaddr_storage from_, local_{};
  Phase phase_ = Phase::kConnecting;
  AddrinfoList targets_;
  const addrinfo* target_ = nullptr;
  std::string header_;  // PROXY header out, while being sent
  std::size_t header_sent_ = 0, header_wanted_ = 1, header_left_ = 0;
  bool header_parsed_ = false;
  Clock::time_point phase_deadline_;
  Flow flows_[2];                       // by Direction
  std::uint32_t interest_[2] = {0, 0};  // by Side, while watched
  bool watched_[2] = {false, false};
  std::uint64_t timer_ = 0;
  Clock::time_point timer_at_;
  // While closing: the direction that ended first, whether the other has
  // ended too, and the wait for the peers' acknowledgements.
  int first_ended_ = 0;
  bool second_ended_ = false;
  Clock::duration ack_pause_{};
  Clock::time_point ack_check_at_, ack_deadline_;
  std::optional<SessionEnd> end_;
  Clock::time_point connect_began_;
};

}  // namespace tarnwicket
