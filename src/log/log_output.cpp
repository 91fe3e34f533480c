#include "log/log_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace tarnwicket {

LogOutput::LogOutput(int fd, bool owned)
    : given_fd_(owned ? fd : -1), wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wake_fd_ < 0) {
    if (given_fd_ >= 0) ::close(given_fd_);
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) return;  // no output: lines are discarded
  fd_ = fd;
  if (S_ISSOCK(info.st_mode)) {
    kind_ = Kind::kSocket;
    return;
  }
  kind_ = Kind::kPlain;
  if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
    // A description of our own: O_NONBLOCK on the inherited one would change
    // it for the shell and every other process that shares it. Without /proc,
    // or for a pipe nobody reads any more, the inherited one is written as is.
    char path[48];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int own = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) {
      fd_ = own;
      own_fd_ = true;
      kind_ = Kind::kNonBlocking;
    }
  }
}

LogOutput::~LogOutput() {
  if (own_fd_) ::close(fd_);
  if (given_fd_ >= 0) ::close(given_fd_);
  ::close(wake_fd_);
}

ssize_t LogOutput::try_write(iovec* parts, int count) noexcept {
  switch (kind_) {
    case Kind::kNone:
      errno = EBADF;
      return -1;
    case Kind::kSocket: {
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = static_cast<std::size_t>(count);
      return ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    default:
      return ::writev(fd_, parts, count);
  }
}

ssize_t LogOutput::write(iovec* parts, int count) noexcept {
  for (;;) {
    const ssize_t n = try_write(parts, count);
    if (n > 0) return n;
    const int err = errno;
    if (n < 0 && err == EINTR) continue;
    if (n == 0 || (err != EAGAIN && err != EWOULDBLOCK)) return -1;
    pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return -1;
    if (fds[1].revents != 0) return 0;
  }
}

void LogOutput::wake() noexcept { eventfd_write(wake_fd_, 1); }

}  // namespace tarnwicket
