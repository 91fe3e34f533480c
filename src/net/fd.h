#pragma once

// Descriptor ownership: a descriptor owned by one thread, and the ones that
// another thread may shut down to wake the thread blocked on them.

#include <mutex>
#include <utility>
#include <vector>

namespace tarnwicket {

// Owns a descriptor that one thread owns; closes it on destruction. Closing
// leaves errno alone, so that a failure path may drop its descriptor before
// it returns.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Descriptors that another thread (stop()) may shut down to wake the thread
// blocked on them. Its mutex is a leaf lock.
class FdList {
 public:
  // Shuts down every listed descriptor, and from then on every one that is
  // listed later, at once.
  void shutdown_all();
  // Lets descriptors listed from now on live again, for the next run.
  void reopen();

 private:
  friend class ListedFd;
  std::mutex mutex_;
  std::vector<int> fds_;
  bool shutting_down_ = false;
};

// Owns a descriptor while it is on an FdList: listed when made, taken off the
// list before it is closed, so that the list never holds a
// number that the system may already have handed to another socket.
class ListedFd {
 public:
  ListedFd(FdList& list, UniqueFd fd);  // on failure (std::bad_alloc) fd is closed
  ~ListedFd();
  ListedFd(ListedFd&& other) noexcept : list_(other.list_), fd_(std::exchange(other.fd_, -1)) {}
  ListedFd& operator=(ListedFd&&) = delete;
  ListedFd(const ListedFd&) = delete;
  ListedFd& operator=(const ListedFd&) = delete;

  int get() const { return fd_; }

 private:
  FdList* list_;
  int fd_;
};

// Shuts a descriptor down in both directions, which wakes a thread blocked
// on it; a no-op for -1.
void shutdown_fd(int fd);
// Sends FIN after what is queued, and wakes a thread blocked sending on it.
void shutdown_writes(int fd);
// Shuts down, closes and sets the field to -1.
void shutdown_and_close(int& fd);

}  // namespace tarnwicket
