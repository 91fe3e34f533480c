// Reload: the plan (reload_plan.h) carried out in two steps. Everything that
// can fail comes first, and is undone when a part of it fails; then the
// swap, which cannot fail.

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "gateway/admin_server.h"
#include "gateway/gateway.h"
#include "gateway/reload_plan.h"
#include "net/address.h"

namespace tarnwicket {

void Gateway::reload(ServerConfig next) {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (!run_.running() || run_.draining()) return;
  try {
    apply(std::move(next));
  } catch (...) {
    record_reload(false);
    throw;
  }
  record_reload(true);
}

void Gateway::reload_failed() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (run_.running() && !run_.draining()) record_reload(false);
}

double Gateway::seconds_since_epoch() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

void Gateway::record_reload(bool applied) {
  last_reload_ok_ = applied;
  if (applied) last_reload_success_ = seconds_since_epoch();
  add(reloads_[applied ? 0 : 1]);
}

void Gateway::apply(ServerConfig next) {
  validate_server_config(next);
  const auto address = parse_ip_address(next.listen_address);
  if (!address) {
    throw std::runtime_error("listen_address 目前只支持 IPv4 地址: " + next.listen_address);
  }
  // Opened afresh on every reload, so that SIGHUP also rotates the file.
  SessionLog::Next session_log = prepare_session_log(next);
  reap_retired_locked();
  std::vector<ServerRoute> current;
  for (const auto& route : routes_) current.push_back(route->settings()->route);
  const ReloadPlan plan = plan_reload(current, config_.listen_address, next);
  std::vector<const ServerRoute*> wanted;
  for (const ServerRoute& route : next.routes) {
    if (route.enabled) wanted.push_back(&route);
  }
  // Kept records take their new settings without serving anew: checked here,
  // before anything changes.
  for (const ServerRoute* route : wanted) check_transparent(*route);

  // Step 1, all or nothing: the new records serve, the admin listener moves.
  Routes opened(wanted.size());  // null where a record is kept
  std::vector<std::size_t> displaced;
  std::unique_ptr<AdminServer> previous_admin;
  const bool admin_moves = next.admin_port != config_.admin_port ||
                           next.admin_address != config_.admin_address ||
                           next.admin_allow != config_.admin_allow;
  Routes next_routes;
  try {
    next_routes.reserve(wanted.size());  // the swap below must not fail half-way
    retired_.reserve(retired_.size() + plan.closed.size());
    if (admin_moves) open_next_admin(next, previous_admin);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      if (plan.next[i].kept) continue;
      opened[i] = std::make_unique<Route>(*wanted[i], next);
      opened[i]->session_log = &session_log_;
      // A listener that the new one would collide with closes just before.
      for (std::size_t j : plan.next[i].displaces) {
        if (std::find(displaced.begin(), displaced.end(), j) != displaced.end()) continue;
        displaced.push_back(j);
        close_listeners(*routes_[j]);
      }
      serve(*opened[i], *address, next.listen_address);
    }
    start_refusal_log_if_needed(next);
  } catch (...) {
    roll_back(opened, displaced, admin_moves ? &previous_admin : nullptr);
    throw;
  }

  // Step 2, which cannot fail: kept records take their new settings, the
  // others retire, and the new list goes live.
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (!plan.next[i].kept) continue;
    Route& route = *routes_[*plan.next[i].kept];
    const int buffer_before = route.settings()->route.udp_receive_buffer_bytes;
    route.set_settings(std::make_shared<const RouteSettings>(*wanted[i], next));
    if (wanted[i]->udp_receive_buffer_bytes != buffer_before) route.size_udp_buffer(logger_);
  }
  for (std::size_t j : plan.closed) close_listeners(*routes_[j]);
  previous_admin.reset();
  {
    std::lock_guard lock(routes_mutex_);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      next_routes.push_back(plan.next[i].kept ? std::move(routes_[*plan.next[i].kept])
                                              : std::move(opened[i]));
    }
    for (std::size_t j : plan.closed) retired_.push_back(std::move(routes_[j]));
    routes_ = std::move(next_routes);
  }
  session_log_.apply(std::move(session_log));
  logger_.set_format(next.log_format == "json" ? LogFormat::kJson : LogFormat::kText);
  config_ = std::move(next);
  logger_.info("configuration reloaded: ", std::to_string(plan.added), " added, ",
               std::to_string(plan.changed), " changed, ", std::to_string(plan.removed),
               " removed, ", std::to_string(plan.unchanged), " unchanged");
  for (const auto& [name, what] : plan.changes) logger_.info("route ", name, " ", what);
}

void Gateway::open_next_admin(const ServerConfig& next, std::unique_ptr<AdminServer>& previous) {
  // On the same port the old listener must let go first; on another it
  // serves until the new one does.
  previous = std::move(admin_);
  if (previous && next.admin_port == config_.admin_port) previous.reset();
  if (next.admin_port != 0) admin_ = open_admin(next);
}

void Gateway::roll_back(Routes& opened, const std::vector<std::size_t>& displaced,
                        std::unique_ptr<AdminServer>* previous_admin) {
  opened.clear();  // their relays end and their listeners close
  if (previous_admin != nullptr) {
    admin_ = std::move(*previous_admin);
    if (!admin_ && config_.admin_port != 0) {
      try {
        admin_ = open_admin(config_);
      } catch (const std::exception& e) {
        logger_.error("configuration rollback failed: ", e.what());
      }
    }
  }
  const auto address = parse_ip_address(config_.listen_address);
  for (std::size_t j : displaced) {
    Route& route = *routes_[j];
    // Each listener on its own: one that cannot come back does not keep the other away.
    const auto restore = [&](auto&& step) {
      try {
        step();
      } catch (const std::exception& e) {
        logger_.error("configuration rollback failed: ", e.what());
      }
    };
    restore([&] { route.open_tcp(*address); });
    restore([&] { route.open_udp(*address, logger_); });
    restore([&] { route.relay->start(); });
  }
}

}  // namespace tarnwicket
