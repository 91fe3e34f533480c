#include "net/fd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tarnwicket {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    const int err = errno;
    ::close(fd_);
    errno = err;
  }
  fd_ = fd;
}

void FdList::shutdown_all() {
  std::lock_guard lock(mutex_);
  shutting_down_ = true;
  for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
}

void FdList::reopen() {
  std::lock_guard lock(mutex_);
  shutting_down_ = false;
}

ListedFd::ListedFd(FdList& list, UniqueFd fd) : list_(&list), fd_(fd.get()) {
  std::lock_guard lock(list.mutex_);
  list.fds_.push_back(fd_);
  if (list.shutting_down_) ::shutdown(fd_, SHUT_RDWR);
  fd.release();
}

ListedFd::~ListedFd() {
  if (fd_ < 0) return;
  {
    std::lock_guard lock(list_->mutex_);
    auto& fds = list_->fds_;
    const auto it = std::find(fds.begin(), fds.end(), fd_);
    if (it != fds.end()) fds.erase(it);
  }
  // Its one user is done with it: a close does what a shutdown would.
  ::close(fd_);
}

void shutdown_writes(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_WR);
}

void shutdown_fd(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void shutdown_and_close(int& fd) {
  if (fd < 0) return;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  fd = -1;
}

}  // namespace tarnwicket
