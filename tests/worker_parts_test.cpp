// The gateway's building blocks for worker threads and the descriptors that
// stop() shuts down, tested directly.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <future>

#include "gateway/socket_util.h"
#include "gateway/thread_group.h"
#include "support/process.h"

namespace tarnwicket::test {
namespace {

std::pair<UniqueFd, UniqueFd> socket_pair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

TEST(ThreadGroup, FinishedThreadsAreReclaimedWhileOthersRun) {
  const size_t before = thread_count(::getpid());
  ThreadGroup group;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  group.spawn([released] { released.wait(); });
  for (int i = 0; i < 200; ++i) group.spawn([] {});
  // The long-running one, and at most one finished thread waiting to be joined.
  EXPECT_LE(eventually([&] { return thread_count(::getpid()); },
                       [&](size_t n) { return n <= before + 2; }),
            before + 2);
  release.set_value();
  group.join_all();
  EXPECT_EQ(thread_count(::getpid()), before);
}

TEST(ThreadGroup, JoinAllWaitsForEveryThread) {
  ThreadGroup group;
  std::atomic<int> done{0};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  for (int i = 0; i < 8; ++i) {
    group.spawn([&done, released] {
      released.wait();
      done.fetch_add(1);
    });
  }
  std::thread opener([&release] { release.set_value(); });
  group.join_all();
  EXPECT_EQ(done.load(), 8);
  opener.join();
}

// Any failure while the thread is being made takes the same path as a
// failing pthread_create, which root's unlimited thread count cannot provoke.
struct ThrowsWhenMoved {
  ThrowsWhenMoved() = default;
  ThrowsWhenMoved(ThrowsWhenMoved&& /*other*/) { throw std::runtime_error("no thread"); }
  void operator()() const {}
};

TEST(ThreadGroup, FailedSpawnLeavesNoTrace) {
  ThreadGroup group;
  EXPECT_THROW(group.spawn(ThrowsWhenMoved{}), std::runtime_error);
  group.spawn([] {});
  group.join_all();  // would wait for ever on an entry left by the failed spawn
}

TEST(ListedFd, ShutdownAllWakesABlockedReader) {
  FdList list;
  auto [ours, peer] = socket_pair();
  ListedFd listed(list, std::move(ours));
  auto reader = std::async(std::launch::async, [fd = listed.get()] {
    char byte;
    return ::recv(fd, &byte, 1, 0);
  });
  list.shutdown_all();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(reader.get(), 0);
}

TEST(ListedFd, LeavesTheListBeforeItsNumberIsReused) {
  FdList list;
  int number;
  {
    auto [ours, peer] = socket_pair();
    ListedFd listed(list, std::move(ours));
    number = listed.get();
  }
  // The system hands out the lowest free number: the same one, to a new socket.
  auto [reused, peer] = socket_pair();
  ASSERT_EQ(reused.get(), number);
  list.shutdown_all();
  EXPECT_EQ(::send(peer.get(), "x", 1, MSG_NOSIGNAL), 1);
  char byte = 0;
  EXPECT_EQ(::recv(reused.get(), &byte, 1, 0), 1);
}

TEST(ListedFd, ListedAfterShutdownAllIsShutDownAtOnce) {
  FdList list;
  list.shutdown_all();
  auto [ours, peer] = socket_pair();
  ListedFd listed(list, std::move(ours));
  char byte;
  EXPECT_EQ(::recv(listed.get(), &byte, 1, 0), 0);
}

}  // namespace
}  // namespace tarnwicket::test
