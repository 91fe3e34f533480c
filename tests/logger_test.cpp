#include "log/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tarnwicket {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// What `body(logger, resume)` logs through a pipe that is full before the
// first line; its reader starts at resume(), or once the logger is gone.
template <class Body>
std::string logged(Body body, std::size_t buffer_bytes = Logger::kDefaultBufferBytes) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int filled = ::fcntl(fds[1], F_GETPIPE_SZ);
  EXPECT_EQ(::write(fds[1], std::string(filled, '.').data(), filled), filled);
  std::string text;
  std::jthread reader;
  auto resume = [&] {
    reader = std::jthread([&] {
      char chunk[65536];
      for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(n));
    });
  };
  {
    Logger logger(fds[1], buffer_bytes);
    body(logger, resume);
  }
  if (!reader.joinable()) resume();
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  return text.substr(static_cast<std::size_t>(filled));
}

// Each line of `text` without its 20-character stamp prefix.
std::vector<std::string> bodies(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line.substr(20));
  return out;
}

std::string stamp_of(std::time_t time) {
  std::tm local{};
  char text[32];
  return {text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", localtime_r(&time, &local))};
}

TEST(Logger, WritesLocalStampLevelAndMessageExactly) {
  ::setenv("TZ", "XYZ-9", 1);  // far from UTC, no zone files needed: a UTC stamp is caught
  ::tzset();
  const std::string before = stamp_of(std::time(nullptr));
  const std::string text = logged([](Logger& logger, auto& resume) {
    resume();
    logger.info("route ", std::string("eu1"), " [tcp] 线路");
    logger.warn();
    logger.error("first\nsecond");
    logger.plain("server started; press Ctrl+C to stop");
  });
  const std::string after = stamp_of(std::time(nullptr));
  std::size_t pos = 0;  // fixed-width stamps compare like times
  for (const std::string rest :
       {" [INFO] route eu1 [tcp] 线路\n", " [WARN] \n", " [ERROR] first\nsecond\n"}) {
    const std::string stamp = text.substr(pos, 19);
    EXPECT_TRUE(before <= stamp && stamp <= after && stamp.size() == 19) << text;
    EXPECT_EQ(text.substr(pos + 19, rest.size()), rest);
    pos += 19 + rest.size();
  }
  EXPECT_EQ(text.substr(pos), "server started; press Ctrl+C to stop\n");
}

TEST(Logger, LinesFromManyThreadsArriveWholeAndAll) {
  const std::string padding(1000, 'x');
  std::vector<std::string> expected;
  std::vector<std::string> lines = bodies(logged([&](Logger& logger, auto& resume) {
    resume();
    std::vector<std::jthread> writers;
    for (int t = 0; t < 8000; t += 1000) {
      for (int i = t; i < t + 300; ++i) expected.push_back("[INFO] " + std::to_string(i) + padding);
      writers.emplace_back([&, t] {
        for (int i = t; i < t + 300; ++i) logger.info(std::to_string(i), padding);
      });
    }
    writers.clear();
    EXPECT_TRUE(logger.flush(seconds(30)));
  }));
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(lines == expected) << lines.size() << " lines";
}

TEST(Logger, NeverWaitsForAReaderThatStopsReading) {
  const Clock::time_point start = Clock::now();
  Clock::time_point logged_all;
  logged([&](Logger& logger, auto&) {
    for (int i = 0; i < 50'000; ++i) logger.info("line ", std::to_string(i), std::string(100, 'x'));
    logged_all = Clock::now();
  });
  EXPECT_LT(logged_all - start, seconds(10));
  EXPECT_LT(Clock::now() - logged_all, Logger::kExitWait + seconds(2));  // the exit's wait
}

// Also a line longer than the whole buffer: dropped, and counted even so.
TEST(Logger, CountsDroppedLinesOnceTheReaderResumes) {
  constexpr int kLines = 20'000;
  const std::vector<std::string> lines = bodies(logged(
      [](Logger& logger, auto& resume) {
        for (int i = 0; i < kLines; ++i) logger.info("n", std::to_string(i));
        resume();
        EXPECT_TRUE(logger.flush(seconds(30)));
        logger.info("after");
        logger.info(std::string(64 * 1024, 'x'));
        EXPECT_TRUE(logger.flush(seconds(30)));
      },
      64 * 1024));
  ASSERT_GE(lines.size(), 4u);
  const std::size_t kept = lines.size() - 3;
  for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(lines[i], "[INFO] n" + std::to_string(i));
  EXPECT_EQ(lines[kept],
            "[WARN] log output stalled: " + std::to_string(kLines - kept) + " lines dropped");
  EXPECT_EQ(lines[kept + 1], "[INFO] after");
  EXPECT_EQ(lines[kept + 2], "[WARN] log output stalled: 1 lines dropped");
}

TEST(Logger, SurvivesOutputThatFails) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  for (const int fd : {full, fds[1]}) {
    Logger logger(fd);
    if (fd == fds[1]) ::close(fds[0]);  // the reader goes away
    for (int i = 0; i < 1000; ++i) logger.warn("lost");
    EXPECT_TRUE(logger.flush(seconds(30)));
  }
  ::close(full);
  ::close(fds[1]);
}

}  // namespace
}  // namespace tarnwicket
