#include "log/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/net.h"
#include "support/process.h"

namespace tarnwicket::test {
namespace {

// Runs `body` with this process's standard output sent to a file; gives what was written.
std::string capture_stdout(const std::function<void()>& body) {
  TempDir dir;
  const auto file = dir.write("stdout", "");
  std::fflush(stdout);
  Fd saved(::dup(1));
  Fd target(::open(file.c_str(), O_WRONLY | O_CLOEXEC));
  if (!saved || !target || ::dup2(target.get(), 1) < 0) ADD_FAILURE() << "cannot capture";
  body();
  std::fflush(stdout);
  ::dup2(saved.get(), 1);
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string local_now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local));
}

// "YYYY-MM-DD HH:MM:SS"
bool is_stamp(std::string_view text) {
  constexpr std::string_view kForm = "dddd-dd-dd dd:dd:dd";
  if (text.size() != kForm.size()) return false;
  for (size_t i = 0; i < kForm.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return false;
  }
  return true;
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
}  // namespace tarnwicket::test
