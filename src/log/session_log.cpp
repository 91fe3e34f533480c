#include "log/session_log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/random.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>

#include "log/json_text.h"
#include "log/log_output.h"
#include "log/logger.h"
#include "log/sha256.h"

namespace tarnwicket {

namespace {

// Drawn once per process: the same client gives the same digest in one
// run's records and an unrelated one in the next run's.
const std::array<char, 32>& process_key() {
  static const std::array<char, 32> key = [] {
    std::array<char, 32> bytes{};
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = getrandom(bytes.data() + got, bytes.size() - got, 0);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "getrandom");
      }
    }
    return bytes;
  }();
  return key;
}

std::string utc_millis(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t size = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + size, sizeof text - size, ".%03dZ", static_cast<int>(millis % 1000));
  return text;
}

// The address without port; masked when asked. Empty for AF_UNSPEC.
std::string address_text(const sockaddr_storage& address, bool masked) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    in_addr ip = reinterpret_cast<const sockaddr_in&>(address).sin_addr;
    if (masked) ip.s_addr &= htonl(0xffffff00);
    inet_ntop(AF_INET, &ip, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    in6_addr ip = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (masked) std::memset(ip.s6_addr + 6, 0, 10);
    inet_ntop(AF_INET6, &ip, text, sizeof text);
  }
  return text;
}

std::uint16_t port_of(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

// "address:port", "[v6]:port"; empty for AF_UNSPEC (never connected).
std::string with_port(const sockaddr_storage& address) {
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return {};
  const std::string host = address_text(address, false);
  const std::string port = std::to_string(port_of(address));
  return address.ss_family == AF_INET6 ? "[" + host + "]:" + port : host + ":" + port;
}

std::string client_text(const sockaddr_storage& client, AddressMode mode) {
  switch (mode) {
    case AddressMode::kFull:
      return with_port(client);
    case AddressMode::kMasked:
      return address_text(client, true);
    case AddressMode::kHashed: {
      Sha256 hash;
      const auto& key = process_key();
      hash.update({key.data(), key.size()});
      hash.update(address_text(client, false));
      return std::string(to_hex(hash.finish()).data(), 16);
    }
    case AddressMode::kNone:
      break;
  }
  return {};
}

// Text values are bare unless they would not read back as one value.
bool needs_quotes(std::string_view value) {
  for (const char c : value) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == '"' || c == '\\' || c == '=') return true;
  }
  return false;
}

// The record as JSON ({"time":"T","event":"session","key":value,...}) or as
// text (T session key=value ...).
class Line {
 public:
  Line(SessionLogFormat format, std::string_view time) : json_(format == SessionLogFormat::kJson) {
    if (json_) {
      out_ = "{\"time\":\"";
      out_ += time;
      out_ += "\",\"event\":\"session\"";
    } else {
      out_ = time;
      out_ += " session";
    }
  }

  void text(std::string_view key, std::string_view value) {
    start(key);
    const bool quoted = json_ || needs_quotes(value);
    if (quoted) out_ += '"';
    escape_json(value, [this](std::string_view piece) { out_ += piece; });
    if (quoted) out_ += '"';
  }
  void number(std::string_view key, std::uint64_t value) {
    start(key);
    char digits[24];
    out_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
  }
  std::string finish() {
    if (json_) out_ += '}';
    return std::move(out_);
  }

 private:
  void start(std::string_view key) {
    out_ += json_ ? ",\"" : " ";
    out_ += key;
    out_ += json_ ? "\":" : "=";
  }

  bool json_;
  std::string out_;
};

}  // namespace

std::string format_session_record(const SessionRecord& record, SessionLogFormat format,
                                  AddressMode mode) {
  static const sockaddr_storage kNone{};
  Line line(format, utc_millis(record.end));
  line.text("route", record.route);
  line.text("protocol", record.protocol);
  if (mode != AddressMode::kNone) {
    line.text("client", client_text(record.client ? *record.client : kNone, mode));
  }
  line.text("upstream", with_port(record.upstream ? *record.upstream : kNone));
  line.text("start", utc_millis(record.start));
  line.number("duration_ms", record.duration_ms);
  line.number("bytes_from_client", record.bytes_from_client);
  line.number("bytes_to_client", record.bytes_to_client);
  line.number("datagrams_from_client", record.datagrams_from_client);
  line.number("datagrams_to_client", record.datagrams_to_client);
  line.text("end", record.end_reason);
  return line.finish();
}

SessionLog::Next::Next() = default;
SessionLog::Next::Next(Next&&) noexcept = default;
SessionLog::Next::~Next() = default;

SessionLog::SessionLog(Logger& main) : main_(main) {}

SessionLog::~SessionLog() = default;

SessionLog::Next SessionLog::prepare(const std::string& target, std::string_view format,
                                     std::string_view address_mode) const {
  Next next;
  next.enabled = !target.empty();
  next.to_stdout = target == "stdout";
  next.format = format == "text" ? SessionLogFormat::kText : SessionLogFormat::kJson;
  next.mode = address_mode == "full"     ? AddressMode::kFull
              : address_mode == "hashed" ? AddressMode::kHashed
              : address_mode == "none"   ? AddressMode::kNone
                                         : AddressMode::kMasked;
  if (next.mode == AddressMode::kHashed) process_key();
  if (next.enabled && !next.to_stdout) {
    // Non-blocking: a FIFO that nobody reads fails here instead of hanging the start.
    const int fd = ::open(target.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0640);
    if (fd < 0) throw std::runtime_error("会话日志无法打开: " + target);
    next.file = std::make_unique<LogOutput>(fd, true);
    if (!file_logger_) {
      next.file_logger = std::make_unique<Logger>(-1, Logger::kDefaultBufferBytes, false);
    }
  } else if (file_logger_) {
    next.file = std::make_unique<LogOutput>(-1);  // the file closes; nothing goes there
  }
  return next;
}

void SessionLog::apply(Next next) noexcept {
  format_.store(next.format, std::memory_order_relaxed);
  mode_.store(next.mode, std::memory_order_relaxed);
  if (next.file_logger) {
    file_logger_ = std::move(next.file_logger);
    file_.store(file_logger_.get(), std::memory_order_release);
  }
  if (next.file) file_logger_->set_output(std::move(next.file));
  Logger* sink = nullptr;
  if (next.enabled) sink = next.to_stdout ? &main_ : file_logger_.get();
  sink_.store(sink, std::memory_order_release);
}

bool SessionLog::flush(std::chrono::milliseconds limit) noexcept {
  Logger* file = file_.load(std::memory_order_acquire);
  return file == nullptr || file->flush(limit);
}

bool SessionLog::enabled() const noexcept {
  return sink_.load(std::memory_order_acquire) != nullptr;
}

void SessionLog::write(const SessionRecord& record) noexcept {
  Logger* sink = sink_.load(std::memory_order_acquire);
  if (sink == nullptr) return;
  try {
    const std::string line = format_session_record(record, format_.load(std::memory_order_relaxed),
                                                   mode_.load(std::memory_order_relaxed));
    // The file's logger counts its own losses; the main one's are everyone's.
    if (!sink->record(line) && sink == &main_) dropped_.fetch_add(1, std::memory_order_relaxed);
  } catch (...) {
    dropped_.fetch_add(1, std::memory_order_relaxed);  // no memory for the line
  }
}

std::uint64_t SessionLog::dropped() const noexcept {
  Logger* file = file_.load(std::memory_order_acquire);
  return dropped_.load(std::memory_order_relaxed) + (file != nullptr ? file->lines_lost() : 0);
}

}  // namespace tarnwicket
