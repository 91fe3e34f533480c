// The gateway's side of the admin listener: what it serves and when it opens.

#include <stdexcept>

#include "gateway/admin_server.h"
#include "gateway/gateway.h"
#include "gateway/metrics.h"

namespace tarnwicket {

void Gateway::open_admin(std::uint32_t address) {
  admin_ = std::make_unique<AdminServer>(
      AdminServer::Handlers{[this] { return render_metrics(); }, [this] { return ready(); }});
  const std::string where = config_.admin_address + ":" + std::to_string(config_.admin_port);
  if (!admin_->start(address, config_.admin_port)) {
    throw std::runtime_error("管理端口监听失败: " + where);
  }
  logger_.info("server admin listening ", where);
}

std::string Gateway::render_metrics() const {
  std::vector<RouteView> views;
  views.reserve(routes_.size());
  for (const auto& rt : routes_) views.push_back({rt->route.name, rt->stats});
  return metrics_exposition(views);
}

}  // namespace tarnwicket
