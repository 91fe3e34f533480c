#include "gateway/session_recorder.h"

#include <cerrno>

#include "gateway/histogram.h"
#include "gateway/run_state.h"
#include "log/session_log.h"

namespace tarnwicket {

namespace {

std::uint64_t micros(std::chrono::steady_clock::duration d) {
  const auto count = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  return count > 0 ? static_cast<std::uint64_t>(count) : 0;
}

bool is_reset(int err) { return err == ECONNRESET || err == EPIPE || err == ECONNREFUSED; }
bool is_timeout(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT; }

}  // namespace

SessionEnd read_end(bool client, long n, int err) {
  if (n == 0) return client ? SessionEnd::kClientClosed : SessionEnd::kUpstreamClosed;
  return send_end(client, err);
}

SessionEnd send_end(bool client, int err) {
  if (is_reset(err)) return client ? SessionEnd::kClientReset : SessionEnd::kUpstreamReset;
  if (is_timeout(err)) return client ? SessionEnd::kClientTimeout : SessionEnd::kUpstreamTimeout;
  return SessionEnd::kError;
}

SessionEnd cut_end(const RunState& run) {
  // While draining nothing else cuts: a reload waits for the drain's end.
  if (run.draining()) return SessionEnd::kDrainTimeout;
  return run.running() ? SessionEnd::kRouteRemoved : SessionEnd::kStop;
}

void SessionRecorder::ended(Protocol protocol, const Session& session, SessionEnd end) noexcept {
  const std::uint64_t lasted = micros(std::chrono::steady_clock::now() - session.start);
  ProtocolStats& stats = stats_.protocol[protocol];
  add(stats.ended[static_cast<std::size_t>(end)]);
  observe(stats.duration, kSessionBuckets, lasted);
  SessionLog* const log = log_;
  if (log == nullptr || !log->enabled()) return;
  SessionRecord record;
  record.route = route_;
  record.protocol = protocol == kTcp ? "tcp" : "udp";
  record.client = &session.client;
  record.upstream = &session.upstream;
  record.start = session.start_time;
  record.end = std::chrono::system_clock::now();
  record.duration_ms = lasted / 1000;
  record.bytes_from_client = load(session.bytes[kClientToServer]);
  record.bytes_to_client = load(session.bytes[kServerToClient]);
  record.datagrams_from_client = load(session.datagrams[kClientToServer]);
  record.datagrams_to_client = load(session.datagrams[kServerToClient]);
  record.end_reason = session_end_name(end);
  log->write(record);
}

void SessionRecorder::connected(std::chrono::steady_clock::duration took) noexcept {
  observe(stats_.upstream_connect, kConnectBuckets, micros(took));
}

}  // namespace tarnwicket
