#pragma once

// Route r, over TCP or UDP, to the fixture's echo upstreams or to a listener
// of the test's own; and the sums of the once-a-second refusal lines.

#include <sys/socket.h>

#include <string>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {

class AdmissionFixture : public RelayFixture {
 protected:
  // Route r over `kind` to `target`, by default the echo upstream of that kind.
  RouteSpec route(const std::string& kind, const std::string& extra, int target = 0) const {
    if (target == 0) target = kind == "udp" ? udp_upstream_.port() : tcp_upstream_.port();
    return {"r", kind, kind == "udp" ? udp_port_ : port_, "127.0.0.1", target, 0, true, extra};
  }
  // Route r to the test's own upstream listener, on which nobody accepts
  // unless the test does (waiting at most 10 s). A full one has the one place
  // of a backlog of 0 taken, and drops further SYNs as a crashed host behind a
  // firewall does.
  RouteSpec to_own_upstream(const std::string& extra, bool full = false) {
    set_receive_timeout(upstream_.get(), scaled(10s));
    const int target = local_port(upstream_.get());
    if (full && ::listen(upstream_.get(), 0) == 0) filler_ = tcp_connect(target);
    return route("tcp", extra, target);
  }
  // Waits for `count`, the sum of N over "[WARN] route r refused N clients: REASON"
  // lines; gives the sum then.
  size_t eventually_refused(const std::string& reason, size_t count) {
    return eventually_counted(" refused ", " clients: " + reason, count);
  }
  // The same for "[WARN] route r VERB N TAIL" lines.
  size_t eventually_counted(const std::string& verb, const std::string& tail, size_t count) {
    const std::string head = "[WARN] route r" + verb;
    auto counted = [&] {
      size_t sum = 0;
      for (const std::string& line : proc().stdout_lines())
        if (const auto at = line.find(head); at != line.npos && line.ends_with(tail))
          sum += std::stoul(line.substr(at + head.size()));
      return sum;
    };
    return eventually(counted, [&](size_t n) { return n >= count; });
  }
  Fd upstream_ = tcp_listener();
  Fd filler_;
};

}  // namespace tarnwicket::test
