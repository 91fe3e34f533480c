#include "log/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tarnwicket {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// A pipe whose read end collects everything into `text` once read() is called.
struct Pipe {
  int fds[2] = {-1, -1};
  std::string text;
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    close_end(0);
    close_end(1);
  }
  void close_end(int end) {
    if (fds[end] >= 0) ::close(std::exchange(fds[end], -1));
  }
  std::jthread read() {
    return std::jthread([this] {
      char chunk[65536];
      for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(n));
    });
  }
};

// Each line of `text` without its 20-character stamp prefix.
std::vector<std::string> bodies(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line.substr(20));
  return out;
}

TEST(Logger, WritesLocalStampLevelAndMessageExactly) {
  ::setenv("TZ", "XYZ-9", 1);  // far from UTC, no zone files needed: a UTC stamp is caught
  ::tzset();
  Pipe pipe;
  auto reader = pipe.read();
  const std::time_t before = std::time(nullptr);
  {
    Logger logger(pipe.fds[1]);
    logger.info("route ", std::string("eu1"), " [tcp] 线路");
    logger.warn();
    logger.error("first\nsecond");
    logger.plain("server started; press Ctrl+C to stop");
  }
  pipe.close_end(1);
  reader.join();
  const std::time_t after = std::time(nullptr);
  std::size_t pos = 0;  // stamp, then the rest, line after line
  for (const std::string rest :
       {" [INFO] route eu1 [tcp] 线路\n", " [WARN] \n", " [ERROR] first\nsecond\n"}) {
    std::tm local{};
    const char* end = strptime(pipe.text.c_str() + pos, "%Y-%m-%d %H:%M:%S", &local);
    ASSERT_EQ(end, pipe.text.c_str() + pos + 19) << pipe.text;
    local.tm_isdst = -1;
    const std::time_t logged = std::mktime(&local);
    EXPECT_TRUE(before <= logged && logged <= after) << pipe.text.substr(pos, 19);
    EXPECT_EQ(pipe.text.substr(pos + 19, rest.size()), rest);
    pos += 19 + rest.size();
  }
  EXPECT_EQ(pipe.text.substr(pos), "server started; press Ctrl+C to stop\n");
}

TEST(Logger, LinesFromManyThreadsArriveWholeAndAll) {
  Pipe pipe;
  auto reader = pipe.read();
  std::set<std::string> expected;
  const std::string padding(1000, 'x');
  {
    Logger logger(pipe.fds[1]);
    std::vector<std::jthread> writers;
    for (int t = 0; t < 8; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < 300; ++i) logger.info("t", std::to_string(t * 1000 + i), padding);
      });
      for (int i = 0; i < 300; ++i)
        expected.insert("[INFO] t" + std::to_string(t * 1000 + i) + padding);
    }
    writers.clear();
    EXPECT_TRUE(logger.flush(seconds(30)));
  }
  pipe.close_end(1);
  reader.join();
  for (const std::string& line : bodies(pipe.text)) EXPECT_EQ(expected.erase(line), 1u);
  EXPECT_TRUE(expected.empty()) << expected.size() << " lines missing";
}

TEST(Logger, NeverWaitsForAReaderThatStopsReading) {
  Pipe pipe;
  const auto start = Clock::now();
  {
    Logger logger(pipe.fds[1]);
    for (int i = 0; i < 50'000; ++i) logger.info("line ", std::to_string(i), std::string(100, 'x'));
    EXPECT_LT(Clock::now() - start, seconds(10));
  }
  EXPECT_LT(Clock::now() - start, seconds(10) + Logger::kExitWait);
}

TEST(Logger, CountsDroppedLinesOnceTheReaderResumes) {
  constexpr int kLines = 20'000;
  Pipe pipe;
  // A full pipe first: the reader has stalled before the first line.
  const int filled = ::fcntl(pipe.fds[1], F_GETPIPE_SZ);
  ASSERT_EQ(::write(pipe.fds[1], std::string(filled, '.').data(), filled), filled);
  std::jthread reader;
  {
    Logger logger(pipe.fds[1], 64 * 1024);
    for (int i = 0; i < kLines; ++i) logger.info("n", std::to_string(i));
    reader = pipe.read();
    EXPECT_TRUE(logger.flush(seconds(30)));
    logger.info("after");
  }
  pipe.close_end(1);
  reader.join();
  const std::vector<std::string> lines = bodies(pipe.text.substr(filled));
  ASSERT_GE(lines.size(), 3u);
  const std::size_t kept = lines.size() - 2;
  for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(lines[i], "[INFO] n" + std::to_string(i));
  EXPECT_EQ(lines[kept],
            "[WARN] log output stalled: " + std::to_string(kLines - kept) + " lines dropped");
  EXPECT_EQ(lines[kept + 1], "[INFO] after");
}

TEST(Logger, CountsALineLongerThanTheWholeBuffer) {
  Pipe pipe;
  auto reader = pipe.read();
  {
    Logger logger(pipe.fds[1], 100);
    logger.info(std::string(100, 'x'));
    EXPECT_TRUE(logger.flush(seconds(30)));
  }
  pipe.close_end(1);
  reader.join();
  EXPECT_EQ(bodies(pipe.text),
            std::vector<std::string>{"[WARN] log output stalled: 1 lines dropped"});
}

TEST(Logger, SurvivesOutputThatFails) {
  Pipe pipe;
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  for (const int fd : {full, pipe.fds[1]}) {
    Logger logger(fd);
    if (fd == pipe.fds[1]) pipe.close_end(0);  // the reader goes away
    for (int i = 0; i < 1000; ++i) logger.warn("lost");
    EXPECT_TRUE(logger.flush(seconds(30)));
  }
  ::close(full);
}

}  // namespace
}  // namespace tarnwicket
