#!/usr/bin/env bash
# Mutation check: does the test suite notice a small fault in the sources?
# Each mutation is one sed expression on one file under src/. The script
# applies it, rebuilds, runs the whole suite, and calls the mutant killed when
# any test fails, survived when all pass. The file is restored afterwards,
# also on interruption.
# Usage: scripts/mutate.sh [FILTER]   (only mutations whose name contains FILTER)
set -uo pipefail
cd "$(dirname "$0")/.."

build=build/mutate
filter=${1:-}

# name | file | sed expression. Each expression must change its file.
mutations=(
  "int-range-low|src/config/server_config.cpp|s/in_range(route.max_connections, 1, 100000)/in_range(route.max_connections, 0, 100000)/"
  "timeout-range|src/config/server_config.cpp|s/connection_timeout_ms, 100, 300000/connection_timeout_ms, 101, 300000/"
  "duplicate-port|src/config/server_config.cpp|s/if (!claimed.emplace(kind, route.listen_port).second)/if (false)/"
  "disabled-checked|src/config/server_config.cpp|/if (!route.enabled) continue;/d"
  "protocol-case|src/config/server_config.cpp|s/route.protocol = lower(trim(/route.protocol = (trim(/"
  "int-trailing|src/config/text.cpp|s/if (i != t.size()) return fallback;//"
  "int-overflow|src/config/text.cpp|s/if (magnitude > limit) return fallback;//"
  "bool-yes|src/config/text.cpp|s/|| v == \"yes\" //"
  "trim-bytes|src/config/text.cpp|s/\" \\\\t\\\\r\\\\n\"/\" \\\\t\\\\n\"/"
  "split-empty|src/config/text.cpp|s/if (!piece.empty()) items.push_back/items.push_back/"
  "ini-comment|src/config/ini.cpp|s/value.find_first_of(\"#;\")/value.find_first_of(\"#\")/"
  "ini-bad-read|src/config/ini.cpp|s/if (in.bad()) throw unreadable(path);//"
  "client-wait|src/config/client_config.cpp|s/config.shield_wait_ms > kMaxShieldWaitMs/config.shield_wait_ms > kMaxShieldWaitMs + 1/"
  "manifest-mode|src/config/client_manifest.cpp|s/\"native-cpp\" : \"legacy-payload\"/\"legacy-payload\" : \"native-cpp\"/"
  "slot-over|src/gateway/admission.cpp|s/while (open < limit) {/while (open <= limit) {/"
  "slot-leak|src/gateway/admission.cpp|s/if (open_ != nullptr) add(\*open_, -1);//"
  "limit-line|src/gateway/threads/tcp_relay.cpp|/logger_.warn(\"connection limit reached on route \", name);/d"
  "half-close|src/gateway/threads/tcp_relay.cpp|s/const bool first = !stopped.exchange(true);/const bool first = false;/"
  "pump-eof|src/gateway/threads/tcp_relay.cpp|s/if (n <= 0) break;/if (n < 0) break;/"
  "relay-ended-line|src/gateway/threads/tcp_relay.cpp|s/logger_.info(\"route \", route_.name, \" relay ended \", args.label);//"
  "client-timeouts|src/gateway/threads/tcp_relay.cpp|s/set_receive_timeout(client.get(), settings.connection_timeout_ms);//"
  "upstream-unlisted|src/gateway/threads/tcp_relay.cpp|s/ListedFd upstream(client_fds_, std::move(fd));/FdList unlisted; ListedFd upstream(unlisted, std::move(fd));/"
  "udp-protocol|src/gateway/threads/udp_relay.cpp|s/route_.admission.admit(kUdp,/route_.admission.admit(kTcp,/"
  "udp-idle|src/gateway/threads/udp_relay.cpp|s/set_receive_timeout(fd.get(), first > 0 ? first : settings.udp_idle_timeout_ms);//"
  "udp-empty-reply|src/gateway/threads/udp_relay.cpp|s/if (n < 0 || (n == 0 \&\& !serving(receiving_))) break;/if (n <= 0) break;/"
  "udp-empty-request|src/gateway/threads/udp_relay.cpp|s/if (n == 0 \&\& !serving(receiving_)) return;/if (n == 0) continue;/"
  "udp-never-removed|src/gateway/threads/udp_relay.cpp|s/if (it != associations_.end() \&\& it->second == association) associations_.erase(it);//"
  "udp-limit-line|src/gateway/threads/udp_relay.cpp|/logger_.warn(\"UDP association limit reached on route \", route_.name);/d"
  "stop-associations|src/gateway/threads/thread_engine.cpp|0,/^  shut_down_associations();/{s/^  shut_down_associations();//}"
  "stop-clients|src/gateway/threads/thread_engine.cpp|s/client_fds_.shutdown_all();//"
  "stopped-line|src/gateway/gateway.cpp|s/logger_.info(\"server stopped\");//"
  "listen-line|src/gateway/route.cpp|s/close_bracket(listen_address), \":\",/close_bracket(listen_address), \" \",/"
  "reuseaddr|src/net/bound_socket.cpp|s/if (reuse) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, \&on, sizeof on);//"
  "nodelay|src/net/stream.cpp|s/if (fd \&\& entry.ai_socktype == SOCK_STREAM) set_nodelay(fd.get());//"
  "group-join|src/gateway/threads/thread_group.cpp|s/idle_.wait(lock, \[this\] { return running_.empty(); });//"
  "sigterm|src/server/run_loop.cpp|s/constexpr int kControlSignals\[\] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};/constexpr int kControlSignals[] = {SIGINT, SIGHUP, SIGQUIT};/"
  "exit-status|src/server/main.cpp|s/    return 1;/    return 0;/"
  "log-newline|src/log/logger.cpp|s/put_locked(\"\\\\n\");/put_locked(\" \");/"
  "log-level|src/log/logger.h|s/write(\"WARN\", {std::string_view(parts)...});/write(\"INFO\", {std::string_view(parts)...});/"
  "log-stamp|src/log/logger.cpp|s/%Y-%m-%d %H:%M:%S/%Y-%m-%d %H:%M/"
  "connect-bound|src/gateway/threads/tcp_relay.cpp|s/set_send_timeout(fd.get(), settings.connection_timeout_ms);//"
  "per-address|src/gateway/admission.cpp|s/if (count >= limit) return false;/if (count > limit) return false;/"
  "allow-all|src/gateway/admission.cpp|s/if (networks.empty()) return true;/return true;/"
  "first-reply|src/gateway/threads/udp_relay.cpp|s/first > 0 ? first : settings.udp_idle_timeout_ms/settings.udp_idle_timeout_ms/"
  "refusal-count|src/gateway/gateway.cpp|s/const std::uint64_t count = route->admission.take_unlogged(why);/const std::uint64_t count = route->admission.take_unlogged(why) > 0 ? 1 : 0;/"
  "reply-address|src/gateway/route.cpp|s/if (udp_wildcard) report_destination_address(socket.get());//"
  "self-target|src/config/server_config.cpp|s/if (targets_itself(route, config.listen_address)) {/if (false) {/"
  "receive-buffer|src/gateway/route.cpp|s/const int granted = set_receive_buffer(udp_fd, asked);/const int granted = asked;/"
  "metrics-bytes|src/gateway/threads/tcp_relay.cpp|s/add(\*args.relayed, static_cast<std::uint64_t>(n));//"
  "plan-by-name|src/gateway/reload_plan.cpp|s/if (!listener || same_listener(current\[j\], route)) return j;/return j;/"
  "plan-collide|src/gateway/reload_plan.cpp|s/if (a.listen_port != b.listen_port) return false;/return false;/"
  "displace|src/gateway/gateway_reload.cpp|/^        close_listeners(\*routes_\[j\]);/d"
  "reaped-totals|src/gateway/gateway.cpp|s/add_counters(\*totals, route->stats);//"
  "admin-rollback|src/gateway/gateway_reload.cpp|s/admin_ = std::move(\*previous_admin);/previous_admin->reset();/"
  "log-stalled-line|src/log/logger.cpp|s/\"log output stalled: \"/\"log output stalled \"/"
)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICKET_WERROR=OFF \
  -DTARNWICKET_BUILD_BENCH=OFF >/dev/null || exit 2
cmake --build "$build" -j2 >/dev/null || { echo "mutate: the unmutated tree does not build" >&2; exit 2; }

current=""
restore() { [ -n "$current" ] && cp "$build/original" "$current" && current=""; }
trap 'restore; exit 130' INT TERM

killed=0 survived=0 skipped=0
survivors=()
for entry in "${mutations[@]}"; do
  IFS='|' read -r name file expr <<<"$entry"
  [ -n "$filter" ] && [[ $name != *"$filter"* ]] && continue
  cp "$file" "$build/original"
  current=$file
  sed -i -e "$expr" "$file"
  if cmp -s "$file" "$build/original"; then
    echo "NOT APPLIED $name ($file)"
    skipped=$((skipped + 1))
    restore
    continue
  fi
  if ! cmake --build "$build" -j2 >"$build/mutant.log" 2>&1; then
    result=killed  # does not even compile
  elif ctest --test-dir "$build" -j2 --timeout 120 --stop-on-failure >>"$build/mutant.log" 2>&1; then
    result=survived
  else
    result=killed
  fi
  restore
  if [ $result = killed ]; then
    killed=$((killed + 1))
    echo "killed   $name"
  else
    survived=$((survived + 1))
    survivors+=("$name")
    echo "SURVIVED $name ($file: $expr)"
  fi
done
cmake --build "$build" -j2 >/dev/null
echo "mutate: $killed killed, $survived survived, $skipped not applied"
[ ${#survivors[@]} -eq 0 ] || echo "mutate: survivors: ${survivors[*]}"
