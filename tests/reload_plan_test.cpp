// plan_reload: which records a reload keeps, retires and opens, and which
// listeners must make way for new ones.

#include "gateway/reload_plan.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/process.h"

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
  for (const auto& [name, what] : plan.changes) out << ' ' << name << ':' << what;
  return out.str();
}

// Each line of the table: name | current routes | next routes | next
// listen_address | the plan's summary line.
TEST(ReloadPlan, KeepsRetiresAndOpensByNameAndListener) {
  std::istringstream table(test_data("reload_plans.txt"));
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::string field[4];
    for (std::string& f : field) {
      const auto bar = line.find(" | ");
      f = line.substr(0, bar);
      line.erase(0, bar + 3);
    }
    ServerConfig next;
    next.listen_address = field[3];
    next.routes = routes(field[2]);
    EXPECT_EQ(summary(plan_reload(routes(field[1]), "127.0.0.1", next)), line) << field[0];
  }
}

}  // namespace
}  // namespace tarnwicket::test
