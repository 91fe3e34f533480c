#include "gateway/gateway.h"

#include <charconv>
#include <stdexcept>

#include "gateway/admin_server.h"
#include "net/address.h"

namespace tarnwicket {

Gateway::Gateway(ServerConfig config) : config_(std::move(config)) {
  validate_server_config(config_);
  if (config_.log_format == "json") logger_.set_format(LogFormat::kJson);
  engine_ = make_engine(config_, run_, logger_);
  for (const ServerRoute& route : config_.routes) {
    if (!route.enabled) continue;
    routes_.push_back(std::make_unique<Route>(route, config_));
    routes_.back()->session_log = &session_log_;
  }
}

Gateway::~Gateway() { stop(); }

void Gateway::start() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (run_.begin()) return;
  const auto address = parse_ip_address(config_.listen_address);
  if (!address) {
    run_.end();
    throw std::runtime_error("listen_address 目前只支持 IPv4 地址: " + config_.listen_address);
  }
  try {
    session_log_.apply(prepare_session_log(config_));
    for (auto& route : routes_) serve(*route, *address, config_.listen_address);
    if (config_.admin_port != 0) admin_ = open_admin(config_);
    start_refusal_log_if_needed(config_);
  } catch (...) {
    stop_locked();
    throw;
  }
  last_reload_success_ = seconds_since_epoch();
  ready_ = true;
}

void Gateway::serve(Route& route, const sockaddr_storage& address,
                    const std::string& listen_address) {
  check_transparent(route.settings()->route);
  if (!route.relay) route.relay = engine_->relay(route);
  route.open_tcp(address);
  route.open_udp(address, logger_);
  route.relay->start();
  route.log_listening(logger_, listen_address);
}

SessionLog::Next Gateway::prepare_session_log(const ServerConfig& config) const {
  return session_log_.prepare(config.session_log, config.session_log_format,
                              config.session_log_address);
}

void Gateway::close_listeners(Route& route) {
  if (route.relay) {
    route.relay->stop_accepting();
    route.relay->stop_receiving();
  }
  route.close_tcp();
  route.close_udp();
}

void Gateway::start_refusal_log_if_needed(const ServerConfig& config) {
  if (refusal_log_thread_.joinable()) return;
  const auto quiet_refusals = [&config](const ServerRoute& route) {
    return !route.allow.empty() || route.max_connections_per_address > 0 ||
           route.accept_proxy_protocol || route.new_clients_per_second > 0 ||
           route.new_clients_per_address_per_second > 0 || !route.deny.empty() ||
           route.udp_datagrams_per_second_per_client > 0 || route.udp_evict_unconfirmed ||
           config.log_refusals == "summary";
  };
  for (const ServerRoute& route : config.routes) {
    if (route.enabled && quiet_refusals(route)) {
      refusal_log_thread_ = std::thread(&Gateway::refusal_log_loop, this);
      return;
    }
  }
}

void Gateway::stop() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  stop_locked();
}

void Gateway::stop_locked() {
  if (!run_.end()) return;  // also wakes workers backing off after a resource failure
  ready_ = false;
  admin_.reset();  // stops and joins it
  // Wake every route first, so that all of them wind down at once.
  for (auto* routes : {&routes_, &retired_}) {
    for (auto& route : *routes) {
      if (route->relay) route->relay->wake();
    }
  }
  if (refusal_log_thread_.joinable()) refusal_log_thread_.join();
  for (auto& route : routes_) {
    close_listeners(*route);
    if (route->relay) route->relay->end_connections();
    route->relay.reset();  // the next start() serves the route afresh
  }
  for (auto& route : retired_) route->relay->end_connections();
  {
    std::lock_guard lock(routes_mutex_);
    retired_.clear();
    reaped_.clear();
  }
  log_refusals();
  logger_.info("server stopped");
}

void Gateway::drain() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (!run_.running() || run_.begin_drain()) return;
  for (auto& route : routes_) {
    if (route->relay) route->relay->stop_accepting();
    route->close_tcp();
  }
  logger_.info("server draining");  // once no new client can come in
}

std::size_t Gateway::route_count() {
  std::lock_guard lock(routes_mutex_);
  return routes_.size();
}

bool Gateway::idle() { return open_clients() == std::pair<std::int64_t, std::int64_t>{0, 0}; }

std::pair<std::int64_t, std::int64_t> Gateway::open_clients() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  std::pair<std::int64_t, std::int64_t> open{0, 0};
  for (const auto* routes : {&routes_, &retired_}) {
    for (const auto& route : *routes) {
      open.first += load(route->stats.tcp().open);
      open.second += load(route->stats.udp().open);
    }
  }
  return open;
}

void Gateway::reap_retired() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  reap_retired_locked();
}

void Gateway::reap_retired_locked() {
  std::lock_guard lock(routes_mutex_);
  std::erase_if(retired_, [this](const std::unique_ptr<Route>& route) {
    if (!route->relay->finished()) return false;
    // Its counts stay under the route's name, so that no counter goes back.
    auto& totals = reaped_[route->name];
    if (!totals) totals = std::make_unique<RouteStats>();
    add_counters(*totals, route->stats);
    return true;
  });
  // A name that no record carries any more has left the configuration.
  const auto carried = [this](const std::string& name) {
    for (const auto* routes : {&routes_, &retired_}) {
      for (const auto& route : *routes) {
        if (route->name == name) return true;
      }
    }
    return false;
  };
  std::erase_if(reaped_, [&](const auto& entry) { return !carried(entry.first); });
}

void Gateway::log_refusals() {
  constexpr std::pair<Refusal, const char*> kLogged[] = {
      {kPerAddress, " clients: per-address limit"},
      {kAllowList, " clients: allow list"},
      {kBadProxyHeader, " clients: bad PROXY header"},
      {kUntrustedProxy, " clients: untrusted proxy"},
      {kRate, " clients: rate limit"},
      {kAddressRate, " clients: per-address rate limit"},
      {kDenyList, " clients: deny list"}};
  const auto count_line = [this](const Route& route, std::uint64_t count, const char* verb,
                                 const char* what) {
    if (count == 0) return;
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, count).ptr;
    logger_.warn("route ", route.name, verb,
                 std::string_view(digits, static_cast<std::size_t>(end - digits)), what);
  };
  std::lock_guard lock(routes_mutex_);
  for (auto& route : routes_) {
    Admission& admission = route->admission;
    admission.forget_quiet_addresses();  // once a second, as the lines
    for (const auto& [why, reason] : kLogged) {
      count_line(*route, admission.take_unlogged(why), " refused ", reason);
    }
    count_line(*route, admission.take_unlogged(kUdp, kClientRate), " dropped ",
               " datagrams: client rate limit");
    count_line(*route, admission.take_unlogged_evictions(), " evicted ",
               " unconfirmed UDP associations");
    // Without the summary the engines log each of these as it happens; taken
    // either way, so that a reload to the summary starts from now.
    const std::uint64_t tcp_limit = admission.take_unlogged(kTcp, kLimit);
    const std::uint64_t udp_limit = admission.take_unlogged(kUdp, kLimit);
    if (!route->settings()->summarize_refusals) continue;
    count_line(*route, tcp_limit, " refused ", " clients: connection limit");
    count_line(*route, udp_limit, " refused ", " clients: UDP association limit");
  }
}

void Gateway::refusal_log_loop() {
  constexpr std::chrono::seconds kRefusalLogPeriod{1};
  while (run_.running()) {
    run_.pause_unless_stopping(kRefusalLogPeriod);
    if (run_.running()) log_refusals();
  }
}

}  // namespace tarnwicket
