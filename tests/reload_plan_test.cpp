// plan_reload: which records a reload keeps, retires and opens, and which
// listeners must make way for new ones.

#include "gateway/reload_plan.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tarnwicket::test {
namespace {

// "name protocol port target_port [off]" per route, routes apart by ';'.
std::vector<ServerRoute> routes(const std::string& text) {
  std::vector<ServerRoute> out;
  std::istringstream list(text);
  for (std::string item; std::getline(list, item, ';');) {
    std::istringstream fields(item);
    ServerRoute r;
    std::string off;
    fields >> r.name >> r.protocol >> r.listen_port >> r.target_port >> off;
    r.target_host = "127.0.0.1";
    r.enabled = off != "off";
    out.push_back(r);
  }
  return out;
}

// What a plan says, in one line: per next route "k<index>" (kept) or "new"
// with "/<displaced>..." , then "closed" indices and the four counts.
std::string summary(const ReloadPlan& plan) {
  std::ostringstream out;
  for (const ReloadPlan::Next& n : plan.next) {
    out << (n.kept ? "k" + std::to_string(*n.kept) : "new");
    for (std::size_t d : n.displaces) out << '/' << d;
    out << ' ';
  }
  out << "closed";
  for (std::size_t c : plan.closed) out << ' ' << c;
  out << " | " << plan.added << plan.changed << plan.removed << plan.unchanged;
  return out.str();
}

struct Case {
  const char* name;
  const char* current;
  const char* next;
  const char* next_address;
  const char* expected;
};

const Case kCases[] = {
    {"unchanged", "a tcp 1 9", "a tcp 1 9", "127.0.0.1", "k0 closed | 0001"},
    {"new target, same listener", "a tcp 1 9", "a tcp 1 8", "127.0.0.1", "k0 closed | 0100"},
    {"new port", "a tcp 1 9", "a tcp 2 9", "127.0.0.1", "new closed 0 | 0100"},
    {"new protocol on the same port", "a tcp 1 9", "a both 1 9", "127.0.0.1",
     "new/0 closed 0 | 0100"},
    {"new listen address", "a tcp 1 9;b udp 2 9", "a tcp 1 9;b udp 2 9", "0.0.0.0",
     "new/0 new/1 closed 0 1 | 0200"},
    {"added and removed", "a tcp 1 9", "b tcp 2 9", "127.0.0.1", "new closed 0 | 1010"},
    {"disabled", "a tcp 1 9;b tcp 2 9", "a tcp 1 9;b tcp 2 9 off", "127.0.0.1",
     "k0 closed 1 | 0011"},
    {"two routes swap ports", "a tcp 1 9;b tcp 2 9", "a tcp 2 9;b tcp 1 9", "127.0.0.1",
     "new/1 new/0 closed 0 1 | 0200"},
    {"port given to another route", "a udp 1 9", "b udp 1 9", "127.0.0.1", "new/0 closed 0 | 1010"},
    {"tcp and udp on one port do not collide", "a udp 1 9", "b tcp 1 9", "127.0.0.1",
     "new closed 0 | 1010"},
    {"shared name, the first removed", "a tcp 1 9;a tcp 2 9", "a tcp 2 9", "127.0.0.1",
     "k1 closed 0 | 0011"},
    {"shared name, the second moved", "a tcp 1 9;a tcp 2 9", "a tcp 1 9;a tcp 3 9", "127.0.0.1",
     "k0 new closed 1 | 0101"},
    {"shared name, both kept in another order", "a tcp 1 9;a udp 1 9", "a udp 1 8;a tcp 1 9",
     "127.0.0.1", "k1 k0 closed | 0101"},
};

TEST(ReloadPlan, KeepsRetiresAndOpensByNameAndListener) {
  for (const Case& c : kCases) {
    ServerConfig next;
    next.listen_address = c.next_address;
    next.routes = routes(c.next);
    EXPECT_EQ(summary(plan_reload(routes(c.current), "127.0.0.1", next)), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace tarnwicket::test
