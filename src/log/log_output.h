#pragma once

#include <sys/types.h>
#include <sys/uio.h>

namespace tarnwicket {

// The descriptor that log lines go to, written so that the writing thread can
// always be got back: a pipe or terminal is written through a non-blocking
// description of its own, a socket with MSG_DONTWAIT, and room is waited for
// with poll() beside a wake-up descriptor. A regular file is written plainly.
// Only one thread may call write().
class LogOutput {
 public:
  // Owns `fd` only when `owned`. Throws only when no wake-up descriptor can be made.
  explicit LogOutput(int fd, bool owned = false);
  ~LogOutput();
  LogOutput(const LogOutput&) = delete;
  LogOutput& operator=(const LogOutput&) = delete;

  // Writes a prefix of the parts: the byte count; 0 when wake() ended the
  // wait for room; -1 when the output failed (closed reader, full device).
  ssize_t write(iovec* parts, int count) noexcept;
  // Ends every wait for room in write(), now and later.
  void wake() noexcept;

 private:
  enum class Kind { kNone, kPlain, kNonBlocking, kSocket };

  ssize_t try_write(iovec* parts, int count) noexcept;

  Kind kind_ = Kind::kNone;
  int fd_ = -1;
  bool own_fd_ = false;  // fd_ is the private description, closed here
  int given_fd_ = -1;    // closed here when owned
  int wake_fd_ = -1;
};

}  // namespace tarnwicket
