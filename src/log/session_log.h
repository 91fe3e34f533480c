#pragma once

// Session records: one line per ended TCP connection or UDP association,
// JSON or key=value text, to standard output or a file of their own. A
// stream apart from the main log, which never carries a client address.
// Writing never blocks a relay: records that do not fit are dropped and
// counted.

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tarnwicket {

class Logger;
class LogOutput;

// What one record says; plain values, so that the log needs nothing of the
// gateway. `client` is written as the address mode says.
struct SessionRecord {
  std::string_view route;
  std::string_view protocol;  // "tcp" or "udp"
  const sockaddr_storage* client = nullptr;
  const sockaddr_storage* upstream = nullptr;  // AF_UNSPEC: never connected
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
  std::uint64_t duration_ms = 0;
  std::uint64_t bytes_from_client = 0;
  std::uint64_t bytes_to_client = 0;
  std::uint64_t datagrams_from_client = 0;
  std::uint64_t datagrams_to_client = 0;
  std::string_view end_reason;
};

enum class SessionLogFormat { kJson, kText };
// full: address and port; masked: IPv4 /24, IPv6 /48; hashed: 16 hex digits
// of SHA-256 over the process's random key and the address; none: no field.
enum class AddressMode { kFull, kMasked, kHashed, kNone };

// The record's line without its newline. `time` is the record's end.
std::string format_session_record(const SessionRecord& record, SessionLogFormat format,
                                  AddressMode mode);

class SessionLog {
 public:
  // What a configuration asks for, opened ahead, so that a reload that fails
  // later changes nothing and the switch itself cannot fail.
  struct Next {
    Next();
    Next(Next&&) noexcept;
    ~Next();
    bool to_stdout = false;
    bool enabled = false;
    SessionLogFormat format = SessionLogFormat::kJson;
    AddressMode mode = AddressMode::kMasked;
    std::unique_ptr<LogOutput> file;
    std::unique_ptr<Logger> file_logger;  // made the first time a file is wanted
  };

  // "stdout" records go through `main`, in order with its lines.
  explicit SessionLog(Logger& main);
  ~SessionLog();
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  // `target`: empty (off), "stdout" or a path, opened for appending afresh
  // (rotation); the format and mode as the keys spell them. Throws
  // "会话日志无法打开: PATH".
  Next prepare(const std::string& target, std::string_view format,
               std::string_view address_mode) const;
  void apply(Next next) noexcept;
  // Waits for the records written so far; false when `limit` passed first.
  bool flush(std::chrono::milliseconds limit) noexcept;

  // Off until configured: write() then does nothing.
  bool enabled() const noexcept;
  void write(const SessionRecord& record) noexcept;
  // Records lost to a full buffer or a failed output, since the start.
  std::uint64_t dropped() const noexcept;

 private:
  Logger& main_;
  std::unique_ptr<Logger> file_logger_;  // set once, by apply; lives as long as this
  std::atomic<Logger*> file_{nullptr};   // file_logger_, for the readers of dropped()
  std::atomic<Logger*> sink_{nullptr};   // main_, file_logger_, or null: off
  std::atomic<SessionLogFormat> format_{SessionLogFormat::kJson};
  std::atomic<AddressMode> mode_{AddressMode::kMasked};
  std::atomic<std::uint64_t> dropped_{0};  // those the file logger does not count
};

}  // namespace tarnwicket
