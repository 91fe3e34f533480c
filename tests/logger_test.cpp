#include "log/logger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tarnwicket {
namespace {

constexpr const char* kStampForm = "%Y-%m-%d %H:%M:%S";

std::string stamp_of(const std::tm& time) {
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, kStampForm, &time));
}

std::string local_now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  return stamp_of(*localtime_r(&now, &local));
}

// Exactly "YYYY-MM-DD HH:MM:SS": parsed and formatted again, nothing changes.
bool is_stamp(const std::string& text) {
  std::tm time{};
  const char* end = strptime(text.c_str(), kStampForm, &time);
  return end != nullptr && *end == '\0' && stamp_of(time) == text;
}

// Runs `body` while gtest captures this process's standard output; gives what was written.
template <class Body>
std::string capture_stdout(Body body) {
  testing::internal::CaptureStdout();
  body();
  return testing::internal::GetCapturedStdout();
}

TEST(Logger, WritesLocalTimeLevelAndMessageUnchanged) {
  // A fixed zone far from UTC (no zone files needed): a UTC stamp would be caught.
  ::setenv("TZ", "XYZ-9", 1);
  ::tzset();
  Logger logger;
  const std::string before = local_now();
  const std::string out = capture_stdout([&] {
    logger.info("route eu1 [tcp] 线路");
    logger.warn("");
    logger.error("first\nsecond");
    logger.write("INFO", "tail");
  });
  const std::string after = local_now();
  size_t pos = 0;
  for (const std::string rest : {" [INFO] route eu1 [tcp] 线路\n", " [WARN] \n",
                                 " [ERROR] first\nsecond\n", " [INFO] tail\n"}) {
    ASSERT_LE(pos + 19 + rest.size(), out.size()) << out;
    const std::string stamp = out.substr(pos, 19);
    // Fixed-width stamps compare like times.
    EXPECT_TRUE(is_stamp(stamp) && before <= stamp && stamp <= after) << stamp;
    EXPECT_EQ(out.substr(pos + 19, rest.size()), rest);
    pos += 19 + rest.size();
  }
  EXPECT_EQ(pos, out.size());
}

TEST(Logger, LinesFromManyThreadsStayWholeAndInTimeOrder) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 300;
  const std::string padding(1500, 'x');
  std::set<std::string> expected;  // every line after its stamp, once
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLinesEach; ++i) {
      expected.insert(" [INFO] t" + std::to_string(t) + " n" + std::to_string(i) + padding);
    }
  }
  Logger logger;
  std::istringstream out(capture_stdout([&] {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < kLinesEach; ++i) {
          logger.info("t" + std::to_string(t) + " n" + std::to_string(i) + padding);
        }
      });
    }
  }));
  std::string previous_stamp;
  for (std::string line; std::getline(out, line);) {
    const std::string stamp = line.substr(0, 19);
    ASSERT_TRUE(is_stamp(stamp)) << line.substr(0, 80);
    ASSERT_EQ(expected.erase(line.substr(19)), 1u) << line.substr(0, 80);
    EXPECT_LE(previous_stamp, stamp);
    previous_stamp = stamp;
  }
  EXPECT_TRUE(expected.empty()) << expected.size() << " lines missing";
}

}  // namespace
}  // namespace tarnwicket
