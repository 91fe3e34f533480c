#include "gateway/reload_plan.h"

#include <algorithm>

namespace tarnwicket {

namespace {

bool same_listener(const ServerRoute& a, const ServerRoute& b) {
  return a.protocol == b.protocol && a.listen_port == b.listen_port;
}

bool has(const ServerRoute& route, const char* protocol) {
  return route.protocol == protocol || route.protocol == "both";
}

// Whether the two would want the same port of the same protocol.
bool collide(const ServerRoute& a, const ServerRoute& b) {
  if (a.listen_port != b.listen_port) return false;
  return (has(a, "tcp") && has(b, "tcp")) || (has(a, "udp") && has(b, "udp"));
}

}  // namespace

ReloadPlan plan_reload(const std::vector<ServerRoute>& current, const std::string& current_address,
                       const ServerConfig& next) {
  ReloadPlan plan;
  std::vector<const ServerRoute*> wanted;
  for (const ServerRoute& route : next.routes) {
    if (route.enabled) wanted.push_back(&route);
  }
  plan.next.resize(wanted.size());
  std::vector<bool> taken(current.size(), false);
  const auto find = [&](const ServerRoute& route, bool listener) -> std::optional<std::size_t> {
    for (std::size_t j = 0; j < current.size(); ++j) {
      if (taken[j] || current[j].name != route.name) continue;
      if (!listener || same_listener(current[j], route)) return j;
    }
    return std::nullopt;
  };
  // First the records that keep serving: same name, same listener, same address.
  if (next.listen_address == current_address) {
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      const auto j = find(*wanted[i], true);
      if (!j) continue;
      taken[*j] = true;
      plan.next[i].kept = j;
      ++(current[*j] == *wanted[i] ? plan.unchanged : plan.changed);
    }
  }
  std::vector<const char*> change(wanted.size(), nullptr);
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (plan.next[i].kept && !(current[*plan.next[i].kept] == *wanted[i])) change[i] = "changed";
  }
  // Then routes that move to a new record, and new routes.
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (plan.next[i].kept) continue;
    const auto j = find(*wanted[i], false);
    if (!j) {
      ++plan.added;
      change[i] = "added";
      continue;
    }
    taken[*j] = true;
    plan.closed.push_back(*j);
    ++plan.changed;
    change[i] = "changed";
  }
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (change[i] != nullptr) plan.changes.emplace_back(wanted[i]->name, change[i]);
  }
  for (std::size_t j = 0; j < current.size(); ++j) {
    if (taken[j]) continue;
    plan.closed.push_back(j);
    ++plan.removed;
    plan.changes.emplace_back(current[j].name, "removed");
  }
  std::sort(plan.closed.begin(), plan.closed.end());
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (plan.next[i].kept) continue;
    for (std::size_t j : plan.closed) {
      if (collide(current[j], *wanted[i])) plan.next[i].displaces.push_back(j);
    }
  }
  return plan;
}

}  // namespace tarnwicket
