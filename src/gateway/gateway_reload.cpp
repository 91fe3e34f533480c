// Changing the running gateway without cutting what it relays: reload of the
// configuration, graceful drain, and the end of retired routes.

#include <arpa/inet.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "gateway/admin_server.h"
#include "gateway/gateway.h"
#include "net/address.h"
#include "net/datagram.h"

namespace tarnwicket {

namespace {

bool same_listener(const ServerRoute& a, const ServerRoute& b) {
  return a.protocol == b.protocol && a.listen_port == b.listen_port;
}

bool busy(const Gateway::RouteRuntime& rt) {
  return rt.stats.tcp_open.load(std::memory_order_relaxed) > 0 ||
         rt.stats.udp_open.load(std::memory_order_relaxed) > 0;
}

}  // namespace

void Gateway::reload(ServerConfig next) {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (!running_.load() || draining_.load()) return;
  validate_server_config(next);
  const auto address = parse_ip_address(next.listen_address);
  if (!address) {
    throw std::runtime_error("listen_address 目前只支持 IPv4 地址: " + next.listen_address);
  }
  reap_retired_locked();

  // The plan: every enabled route of the new file keeps its record (same
  // listener) or gets a new one; old records left over are retired.
  std::map<std::string, std::unique_ptr<RouteRuntime>*, std::less<>> old;
  for (auto& rt : routes_) old.emplace(rt->name, &rt);
  struct Kept {
    RouteRuntime* rt;
    Settings settings;
  };
  std::vector<Kept> kept;
  std::vector<std::unique_ptr<RouteRuntime>> opened;
  std::vector<std::unique_ptr<RouteRuntime>*> next_order;  // null: the next of `opened`
  std::vector<RouteRuntime*> leaving;
  int added = 0;
  int changed = 0;
  int unchanged = 0;
  for (const ServerRoute& route : next.routes) {
    if (!route.enabled) continue;
    const auto found = old.find(route.name);
    if (found == old.end()) {
      ++added;
    } else {
      std::unique_ptr<RouteRuntime>& rt = *found->second;
      old.erase(found);
      const Settings current = rt->settings();
      if (next.listen_address == config_.listen_address && same_listener(current->route, route)) {
        ++(current->route == route ? unchanged : changed);
        kept.push_back({rt.get(), std::make_shared<const RouteSettings>(route, next)});
        next_order.push_back(&rt);
        continue;
      }
      ++changed;
      leaving.push_back(rt.get());
    }
    opened.push_back(std::make_unique<RouteRuntime>(route, next));
    next_order.push_back(nullptr);
  }
  const int removed = static_cast<int>(old.size());
  for (auto& entry : old) leaving.push_back(entry.second->get());

  // Room for the swap below, which must not fail half-way.
  std::vector<std::unique_ptr<RouteRuntime>> routes;
  routes.reserve(next_order.size());
  retired_.reserve(retired_.size() + leaving.size());

  // New listeners first, all or nothing; a failure closes what it had opened.
  for (auto& rt : opened) open_listeners(*rt, *address);
  const bool admin_moves =
      next.admin_port != config_.admin_port || next.admin_address != config_.admin_address;
  const auto restore_admin = [&] {
    if (!admin_moves) return;
    admin_.reset();
    try {
      if (config_.admin_port != 0) admin_ = open_admin(config_);
    } catch (const std::exception&) {
      // The reload's own failure is the one reported.
    }
  };
  try {
    if (admin_moves) {
      admin_.reset();  // frees its port for a change of address only
      if (next.admin_port != 0) admin_ = open_admin(next);
    }
    for (auto& rt : opened) launch(*rt, next.listen_address);
  } catch (...) {
    for (auto& rt : opened) {
      close_tcp_listener(*rt);
      close_udp_listener(*rt);
    }
    restore_admin();
    throw;
  }

  for (const Kept& k : kept) {
    const Settings before = k.rt->settings();
    const ServerRoute& after = k.settings->route;
    // Below zero refuses new clients until enough have ended; none is cut.
    k.rt->available_slots.fetch_add(after.max_connections - before->route.max_connections);
    const int asked = after.udp_receive_buffer_bytes;
    if (k.rt->udp_fd >= 0 && asked > 0 && asked != before->route.udp_receive_buffer_bytes) {
      const int granted = set_receive_buffer(k.rt->udp_fd, asked);
      if (granted < asked) {
        logger_.warn("route ", after.name, " UDP receive buffer is ", std::to_string(granted),
                     " bytes, less than asked");
      }
    }
    k.rt->set_settings(k.settings);
  }
  for (RouteRuntime* rt : leaving) {
    close_tcp_listener(*rt);
    close_udp_listener(*rt);
  }
  {
    std::lock_guard lock(routes_mutex_);
    auto fresh = opened.begin();
    for (std::unique_ptr<RouteRuntime>* rt : next_order) {
      routes.push_back(rt != nullptr ? std::move(*rt) : std::move(*fresh++));
    }
    for (auto& rt : routes_) {
      if (rt) retired_.push_back(std::move(rt));
    }
    routes_ = std::move(routes);
  }
  config_ = std::move(next);
  start_refusal_log_if_needed();
  logger_.info("configuration reloaded: ", std::to_string(added), " added, ",
               std::to_string(changed), " changed, ", std::to_string(removed), " removed, ",
               std::to_string(unchanged), " unchanged");
}

void Gateway::close_tcp_listener(RouteRuntime& rt) {
  rt.accepting = false;
  shutdown_fd(rt.tcp_fd);
  if (rt.tcp_thread.joinable()) rt.tcp_thread.join();
  shutdown_and_close(rt.tcp_fd);
}

void Gateway::close_udp_listener(RouteRuntime& rt) {
  // Set before the table is walked: new_association files nothing after it.
  rt.receiving = false;
  shutdown_fd(rt.udp_fd);
  {
    std::lock_guard lock(rt.udp_mutex);
    for (auto& entry : rt.associations) shutdown_fd(entry.second->upstream_fd);
  }
  if (rt.udp_thread.joinable()) rt.udp_thread.join();
  rt.udp_threads.join_all();
  // Closed only now: response threads send replies from udp_fd until joined.
  shutdown_and_close(rt.udp_fd);
}

void Gateway::drain() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (!running_.load() || draining_.exchange(true)) return;
  for (auto& rt : routes_) close_tcp_listener(*rt);
  logger_.info("server draining");  // once no new client can come in
}

bool Gateway::idle() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  const auto is_busy = [](const auto& rt) { return busy(*rt); };
  return std::none_of(routes_.begin(), routes_.end(), is_busy) &&
         std::none_of(retired_.begin(), retired_.end(), is_busy);
}

void Gateway::reap_retired() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  reap_retired_locked();
}

void Gateway::reap_retired_locked() {
  // A record whose client threads have all finished joins the last one at once.
  std::erase_if(retired_, [](const auto& rt) { return rt->client_threads.empty(); });
}

}  // namespace tarnwicket
