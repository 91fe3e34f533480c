#pragma once

// A route's account of its sessions as they end: the end reason counted, the
// duration observed, and, with the session log on, the record written. The
// engines call it once per admitted session, with its ticket still held, and
// once per upstream connect that succeeded.

#include <chrono>
#include <string>

#include "gateway/route_stats.h"
#include "gateway/session.h"

namespace tarnwicket {

class RunState;
class SessionLog;

// Why a session ended, from what its relay saw; `client`: the socket was the client's.
// A read that ended: `n` 0 for an orderly close, else failed with `err`.
SessionEnd read_end(bool client, long n, int err);
// A send that failed with `err`.
SessionEnd send_end(bool client, int err);
// A session the gateway cut itself: at a stop, at the stop that ends a drain,
// or, while running, when a reload closed its route.
SessionEnd cut_end(const RunState& run);

class SessionRecorder {
 public:
  // `log` is the route's pointer to the gateway's session log; null: no records.
  SessionRecorder(const std::string& route, RouteStats& stats, SessionLog* const& log)
      : route_(route), stats_(stats), log_(log) {}

  void ended(Protocol protocol, const Session& session, SessionEnd end) noexcept;
  void connected(std::chrono::steady_clock::duration took) noexcept;

 private:
  const std::string& route_;
  RouteStats& stats_;
  SessionLog* const& log_;
};

}  // namespace tarnwicket
