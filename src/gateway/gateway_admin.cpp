// The gateway's side of the admin listener: what it serves and when it opens.

#include <arpa/inet.h>

#include <stdexcept>

#include "gateway/admin_server.h"
#include "gateway/gateway.h"
#include "gateway/metrics.h"

namespace tarnwicket {

std::unique_ptr<AdminServer> Gateway::open_admin(const ServerConfig& config) {
  in_addr address{};
  inet_pton(AF_INET, config.admin_address.c_str(), &address);  // checked by the rules
  auto admin = std::make_unique<AdminServer>(
      AdminServer::Handlers{[this] { return render_metrics(); }, [this] { return ready(); },
                            [this] { return draining(); }});
  const std::string where = config.admin_address + ":" + std::to_string(config.admin_port);
  std::vector<IpNetwork> allowed;
  for (const std::string& entry : config.admin_allow) allowed.push_back(*parse_network(entry));
  if (!admin->start(address.s_addr, config.admin_port, std::move(allowed))) {
    throw std::runtime_error("管理端口监听失败: " + where);
  }
  logger_.info("server admin listening ", where);
  return admin;
}

std::string Gateway::render_metrics() const {
  std::vector<RouteView> views;
  std::lock_guard lock(routes_mutex_);
  views.reserve(routes_.size() + retired_.size() + reaped_.size());
  // Connections still open on a retired record, and what reaped ones had
  // counted, stay under their route's name.
  for (const auto* routes : {&routes_, &retired_}) {
    for (const auto& route : *routes) views.push_back({route->name, route->stats});
  }
  for (const auto& [name, totals] : reaped_) views.push_back({name, *totals});
  GatewayView gateway;
  gateway.last_reload_successful = last_reload_ok_.load();
  gateway.last_reload_success_seconds = last_reload_success_.load();
  gateway.reloads_succeeded = load(reloads_[0]);
  gateway.reloads_failed = load(reloads_[1]);
  gateway.draining = run_.draining();
  gateway.session_records_dropped = session_log_.dropped();
  return metrics_exposition(views, gateway);
}

}  // namespace tarnwicket
