#include "log/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
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

// Sends this process's standard output to a file while it lives.
class StdoutCapture {
 public:
  StdoutCapture() : file_(dir_.path() / "stdout") {
    std::fflush(stdout);
    saved_ = Fd(::dup(1));
    Fd target(::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!saved_ || !target || ::dup2(target.get(), 1) < 0) ADD_FAILURE() << "cannot capture";
  }
  ~StdoutCapture() { restore(); }

  // Restores standard output and returns everything written meanwhile.
  std::string finish() {
    restore();
    std::ifstream in(file_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  void restore() {
    if (!saved_) return;
    std::fflush(stdout);
    ::dup2(saved_.get(), 1);
    saved_.reset();
  }
  TempDir dir_;
  std::filesystem::path file_;
  Fd saved_;
};

// A fixed zone far from UTC (no zone files needed), so a line stamped in UTC
// would be caught.
class ZoneEastOfUtc {
 public:
  ZoneEastOfUtc() {
    if (const char* tz = std::getenv("TZ")) old_ = tz;
    ::setenv("TZ", "XYZ-9", 1);
    ::tzset();
  }
  ~ZoneEastOfUtc() {
    if (old_.empty()) {
      ::unsetenv("TZ");
    } else {
      ::setenv("TZ", old_.c_str(), 1);
    }
    ::tzset();
  }

 private:
  std::string old_;
};

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
  ZoneEastOfUtc zone;
  Logger logger;
  const std::string before = local_now();
  StdoutCapture capture;
  logger.info("server route eu1 [tcp] 线路");
  logger.warn("");
  logger.error("first\nsecond");
  logger.write("INFO", "tail");
  const std::string out = capture.finish();
  const std::string after = local_now();

  const std::vector<std::string> expected = {" [INFO] server route eu1 [tcp] 线路\n", " [WARN] \n",
                                             " [ERROR] first\nsecond\n", " [INFO] tail\n"};
  size_t pos = 0;
  for (const auto& rest : expected) {
    SCOPED_TRACE(rest);
    ASSERT_LE(pos + 19 + rest.size(), out.size());
    const std::string stamp = out.substr(pos, 19);
    EXPECT_TRUE(is_stamp(stamp)) << stamp;
    // Fixed-width stamps compare like times.
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(out.substr(pos + 19, rest.size()), rest);
    pos += 19 + rest.size();
  }
  EXPECT_EQ(pos, out.size());
}

TEST(Logger, LinesFromManyThreadsStayWholeAndInTimeOrder) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 300;
  const std::string padding(1500, 'x');
  Logger logger;
  StdoutCapture capture;
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < kLinesEach; ++i) {
          logger.info("t" + std::to_string(t) + " n" + std::to_string(i) + " " + padding);
        }
      });
    }
  }
  std::istringstream out(capture.finish());

  std::set<std::string> expected_ids;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLinesEach; ++i) {
      expected_ids.insert("t" + std::to_string(t) + " n" + std::to_string(i));
    }
  }
  std::set<std::string> seen;
  std::string previous_stamp;
  std::string line;
  while (std::getline(out, line)) {
    // Whole lines only: stamp, level, one known id, then exactly the padding.
    ASSERT_GT(line.size(), 27 + padding.size()) << line.substr(0, 80);
    const std::string stamp = line.substr(0, 19);
    ASSERT_TRUE(is_stamp(stamp)) << line.substr(0, 80);
    ASSERT_EQ(line.substr(19, 8), " [INFO] ");
    const std::string id = line.substr(27, line.size() - 27 - padding.size() - 1);
    ASSERT_EQ(expected_ids.count(id), 1u) << line.substr(0, 80);
    ASSERT_EQ(line.substr(line.size() - padding.size() - 1), " " + padding);
    EXPECT_LE(previous_stamp, stamp);
    previous_stamp = stamp;
    EXPECT_TRUE(seen.insert(id).second) << "twice: " << id;
  }
  EXPECT_EQ(seen, expected_ids);
}

}  // namespace
}  // namespace tarnwicket::test
