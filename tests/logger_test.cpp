#include "log/logger.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>

#include "log/log_output.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

// Now, as a stamp of local time in the zone these tests run in: far from UTC
// (no zone files needed), so that a UTC stamp is caught. It sets the zone, so
// it is called while no logger runs.
std::string stamp_now() {
  ::setenv("TZ", "XYZ-9", 1);
  ::tzset();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32];
  return {text, std::strftime(text, sizeof text, "%F %T", localtime_r(&now, &local))};
}

// A logger on a pipe that nobody reads before resume().
struct Logging : ::testing::Test {
  void resume() { reader_ = std::jthread(&Logging::drain, this, std::move(in_)); }
  void drain(Fd in) {
    char buf[65536];
    for (ssize_t n; (n = ::read(in.get(), buf, sizeof buf)) > 0;) text_.append(buf, buf + n);
  }

  // Once resumed: ends the logger and gives its lines, each stamp taken since
  // the start as "T". A line without its newline is missing.
  std::vector<std::string> lines() {
    EXPECT_TRUE(logger_->flush(scaled(30s)));
    logger_.reset();
    out_.reset();
    reader_.join();
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text_.find('\n', at)) != text_.npos; at = end + 1) {
      const std::string line = text_.substr(at, end - at), stamp = line.substr(0, 19);
      lines.push_back(before_ <= stamp && stamp <= stamp_now() ? "T" + line.substr(19) : line);
    }
    return lines;
  }

  // Destroyed in reverse: the writing end goes before the reader is joined.
  std::string text_, before_ = stamp_now();
  std::jthread reader_;
  Fd in_, out_ = pipe_into(in_);
  std::optional<Logger> logger_{std::in_place, out_.get()};
};

TEST_F(Logging, WritesLocalStampLevelAndMessageExactly) {
  resume();
  logger_->info("route ", std::string("eu1"), " [tcp] 线路");
  logger_->warn();
  logger_->error("first\nsecond");
  logger_->plain("as it is");
  EXPECT_EQ(lines(), (std::vector<std::string>{"T [INFO] route eu1 [tcp] 线路", "T [WARN] ",
                                               "T [ERROR] first", "second", "as it is"}));
}

TEST_F(Logging, LinesFromManyThreadsArriveWholeAndAll) {
  const std::string pad(1000, 'x');
  auto put = [&](int i) {
    for (; i < 12'400; i += 8) logger_->info(std::to_string(i), pad);
  };
  resume();
  std::vector<std::jthread> writers;
  for (int t = 0; t < 8; ++t) writers.emplace_back(put, 10'000 + t);
  writers.clear();
  std::vector<std::string> got = lines();
  std::ranges::sort(got);  // five-digit numbers sort like numbers
  ASSERT_EQ(got.size(), 2400u);
  for (int i = 0; i < 2400; ++i) ASSERT_EQ(got[i], "T [INFO] " + std::to_string(10'000 + i) + pad);
}

TEST_F(Logging, NeverWaitsForAReaderThatStopsReading) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 50'000; ++i) logger_->info("line ", std::to_string(i), std::string(100, 'x'));
  const auto logged_all = std::chrono::steady_clock::now();
  logger_.reset();
  EXPECT_LT(logged_all - start, scaled(10s));
  // The exit waits for the pending lines, a while.
  EXPECT_LT(std::chrono::steady_clock::now() - logged_all, Logger::kExitWait + scaled(2s));
}

// More lines than the buffer holds, and a line longer than the whole buffer.
TEST_F(Logging, CountsDroppedLinesOnceTheReaderResumes) {
  for (int i = 0; i < 200'000; ++i) logger_->info("n", std::to_string(i));
  resume();
  EXPECT_TRUE(logger_->flush(scaled(30s)));
  logger_->info("after");
  logger_->info(std::string(Logger::kDefaultBufferBytes, 'x'));
  const std::vector<std::string> got = lines();
  ASSERT_GE(got.size(), 4u);
  const std::size_t kept = got.size() - 3;
  for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(got[i], "T [INFO] n" + std::to_string(i));
  EXPECT_EQ(got[kept],
            "T [WARN] log output stalled: " + std::to_string(200'000 - kept) + " lines dropped");
  EXPECT_EQ(got[kept + 1], "T [INFO] after");
  EXPECT_EQ(got[kept + 2], "T [WARN] log output stalled: 1 lines dropped");
}

TEST_F(Logging, JsonLinesCarryUtcMillisLevelAndEscapedMessage) {
  logger_->set_format(LogFormat::kJson);
  resume();
  logger_->warn("route ", "q\"\\x", " 线路\n\x01");
  logger_->plain("server started");
  EXPECT_TRUE(logger_->record("{\"kept\":\"as is\"}"));
  std::vector<std::string> got = lines();
  std::ranges::transform(got, got.begin(), json_stamp_as_t);
  EXPECT_EQ(got, (std::vector<std::string>{
                     R"({"time":"T","level":"WARN","message":"route q\"\\x 线路\n\u0001"})",
                     R"({"time":"T","level":"INFO","message":"server started"})",
                     R"({"kept":"as is"})"}));
}

TEST_F(Logging, LinesAfterSetOutputGoToTheNewOutput) {
  Fd other_in;
  Fd other_out = pipe_into(other_in);
  resume();
  logger_->info("first");
  ASSERT_TRUE(logger_->flush(scaled(10s)));
  logger_->set_output(std::make_unique<LogOutput>(other_out.release(), true));
  logger_->plain("second");
  ASSERT_TRUE(logger_->flush(scaled(10s)));
  EXPECT_EQ(lines(), std::vector<std::string>{"T [INFO] first"});
  char buf[64];
  const ssize_t n = ::read(other_in.get(), buf, sizeof buf);  // the logger closed its end
  EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0))), "second\n");
}

TEST_F(Logging, WithoutDropReportsLostLinesAreOnlyCounted) {
  logger_.emplace(out_.get(), 64, false);
  EXPECT_TRUE(logger_->record("short"));
  EXPECT_FALSE(logger_->record(std::string(100, 'x')));
  resume();
  ASSERT_TRUE(logger_->flush(scaled(10s)));
  EXPECT_TRUE(logger_->record("after"));
  EXPECT_EQ(logger_->lines_lost(), 1u);
  EXPECT_EQ(lines(), (std::vector<std::string>{"short", "after"}));
  const Fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  Logger on_full(full.get(), Logger::kDefaultBufferBytes, false);
  for (int i = 0; i < 5; ++i) on_full.record("lost");
  ASSERT_TRUE(on_full.flush(scaled(10s)));
  EXPECT_EQ(on_full.lines_lost(), 5u);
}

TEST_F(Logging, SurvivesOutputThatFails) {
  in_.reset();  // the reader goes away
  const Fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  Logger on_full(full.get());
  for (int i = 0; i < 2000; ++i) (i % 2 == 0 ? *logger_ : on_full).warn("lost");
  EXPECT_TRUE(logger_->flush(scaled(30s)));
  EXPECT_TRUE(on_full.flush(scaled(30s)));
}

}  // namespace
}  // namespace tarnwicket::test
