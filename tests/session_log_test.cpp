// Session records: their lines in each format and address mode, SHA-256, the
// file (appended, reopened, never waited for), and the keys through the real
// server: the file at start and on SIGHUP, and the main log as JSON.

#include "log/session_log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>

#include "log/log_output.h"
#include "log/logger.h"
#include "log/sha256.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

using namespace std::chrono;

// "1.2.3.4:5" or "[v6]:5"; "-": AF_UNSPEC.
sockaddr_storage address(const std::string& text) {
  sockaddr_storage out{};
  if (text == "-") return out;
  const size_t colon = text.rfind(':');
  const std::string host = text[0] == '[' ? text.substr(1, colon - 2) : text.substr(0, colon);
  socket_address(host, std::stoi(text.substr(colon + 1)), reinterpret_cast<sockaddr_in6&>(out));
  return out;
}

// The record of the data tables: 21:03:00.123 UTC, begun 1308116 ms before.
struct Example {
  Example(const std::string& client_text, const std::string& upstream_text)
      : client(address(client_text)), upstream(address(upstream_text)) {
    const sys_days day = year(2026) / 12 / 7;
    record.end = day + 21h + 3min + 123ms;
    record.start = day + 20h + 41min + 12s + 7ms;
    record.route = "lobby";
    record.protocol = "tcp";
    record.duration_ms = 1308116;
    record.bytes_from_client = 48213;
    record.bytes_to_client = 9120044;
    record.end_reason = "client_closed";
    record.client = &client;
    record.upstream = &upstream;
  }
  sockaddr_storage client, upstream;
  SessionRecord record;
};

std::string hashed(const std::string& client) {
  Example example(client, "-");
  const std::string line =
      format_session_record(example.record, SessionLogFormat::kText, AddressMode::kHashed);
  const size_t at = line.find(" client=") + 8;
  return line.substr(at, line.find(' ', at) - at);
}

TEST(Sha256, StandardVectors) {
  for (const TableRow& row : table("sha256_vectors.txt")) {
    Sha256 hash;
    hash.update(row.input == "-" ? "" : unescape(row.input));
    EXPECT_EQ(std::string(to_hex(hash.finish()).data(), 64), row.expected) << row.where;
  }
  Sha256 million;  // in pieces that straddle the blocks
  for (int i = 0; i < 10'000; ++i) million.update(std::string(100, 'a'));
  EXPECT_EQ(std::string(to_hex(million.finish()).data(), 64),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(SessionRecordLine, EachFormatAndAddressModeExactly) {
  for (const TableRow& row : table("session_records.txt")) {
    std::istringstream in(row.input);
    std::string format, mode, protocol, client, upstream, route;
    in >> format >> mode >> protocol >> client >> upstream >> route;
    Example example(client, upstream);
    route = unescape(route);
    example.record.route = route;
    example.record.protocol = protocol;
    const auto modes = {std::pair{"full", AddressMode::kFull},
                        {"masked", AddressMode::kMasked},
                        {"none", AddressMode::kNone}};
    AddressMode as = AddressMode::kHashed;
    for (const auto& [name, value] : modes) as = name == mode ? value : as;
    const auto as_format = format == "json" ? SessionLogFormat::kJson : SessionLogFormat::kText;
    EXPECT_EQ(format_session_record(example.record, as_format, as), row.expected) << row.where;
  }
}

TEST(SessionRecordLine, HashedIsSixteenHexDigitsOfTheAddressAlone) {
  const std::string v4 = hashed("203.0.113.7:5000"), v6 = hashed("[2001:db8::9]:5000");
  for (const std::string& digest : {v4, v6}) {
    EXPECT_EQ(digest.size(), 16u);
    EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos) << digest;
  }
  EXPECT_EQ(hashed("203.0.113.7:6000"), v4);  // the port is left out
  EXPECT_EQ(hashed("[2001:db8::9]:1"), v6);
  EXPECT_NE(hashed("203.0.113.8:5000"), v4);  // the whole address goes in, not the /24
  EXPECT_NE(hashed("[2001:db8::8]:5000"), v6);
}

// A session log writing to a file of the test's directory.
struct SessionFile : ::testing::Test {
  std::string path(const std::string& name = "sessions.log") const {
    return (dir.path() / name).string();
  }
  void configure(const std::string& target, std::string_view format = "json") {
    log.apply(log.prepare(target, format, "masked"));
  }
  void write(std::string_view route) {
    example.record.route = route;
    log.write(example.record);
  }
  TempDir dir;
  Logger main{-1};
  SessionLog log{main};
  Example example{"203.0.113.7:5000", "10.0.0.5:7100"};
};

TEST_F(SessionFile, OffUntilConfiguredAndWhenEmpty) {
  EXPECT_FALSE(log.enabled());
  configure(path());
  EXPECT_TRUE(log.enabled());
  configure("");
  EXPECT_FALSE(log.enabled());
  write("after");
  EXPECT_TRUE(log.flush(scaled(10s)));
  EXPECT_EQ(read_file(path()), "");
}

TEST_F(SessionFile, AppendsOneLinePerRecord) {
  dir.write("sessions.log", "kept\n");
  configure(path(), "text");
  write("a");
  write("b");
  ASSERT_TRUE(log.flush(scaled(10s)));
  const std::string text = read_file(path());
  EXPECT_TRUE(text.starts_with("kept\n2026-12-07T21:03:00.123Z session route=a ")) << text;
  EXPECT_NE(text.find("\n2026-12-07T21:03:00.123Z session route=b "), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  EXPECT_EQ(log.dropped(), 0u);
}

TEST_F(SessionFile, ReopenedAfterARenameWritesANewFileAtThePath) {
  configure(path());
  write("before");
  ASSERT_TRUE(log.flush(scaled(10s)));
  std::filesystem::rename(path(), path("sessions.log.1"));
  configure(path());
  write("after");
  ASSERT_TRUE(log.flush(scaled(10s)));
  EXPECT_NE(read_file(path("sessions.log.1")).find("\"route\":\"before\""), std::string::npos);
  const std::string now = read_file(path());
  EXPECT_NE(now.find("\"route\":\"after\""), std::string::npos) << now;
  EXPECT_EQ(std::count(now.begin(), now.end(), '\n'), 1) << now;
}

TEST_F(SessionFile, AFileThatCannotBeOpenedFailsWithItsPath) {
  const std::string missing = path("no/such/dir");
  try {
    configure(missing);
    FAIL() << "opened";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "会话日志无法打开: " + missing);
  }
  EXPECT_FALSE(log.enabled());
}

TEST_F(SessionFile, StdoutGoesThroughTheMainLogAsIs) {
  Fd in;
  const Fd out = pipe_into(in);
  Logger json_main(out.get());
  json_main.set_format(LogFormat::kJson);
  SessionLog to_stdout(json_main);
  to_stdout.apply(to_stdout.prepare("stdout", "json", "none"));
  to_stdout.write(example.record);
  ASSERT_TRUE(json_main.flush(scaled(10s)));
  char buf[1024];
  const ssize_t n = ::read(in.get(), buf, sizeof buf);
  ASSERT_GT(n, 0);
  EXPECT_EQ(
      std::string(buf, static_cast<size_t>(n)),
      format_session_record(example.record, SessionLogFormat::kJson, AddressMode::kNone) + "\n");
}

// The reader of the FIFO never reads: the buffer fills, and records are
// dropped and counted, never waited for, nor is the end.
TEST_F(SessionFile, APipeNobodyReadsHoldsUpNoWriterAndNoEnd) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const Fd reader(::open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  std::optional<SessionLog> on_fifo(std::in_place, main);
  on_fifo->apply(on_fifo->prepare(path("fifo"), "json", "full"));
  const auto start = steady_clock::now();
  constexpr int kRecords = 100'000;  // several times what the buffer and the pipe hold
  for (int i = 0; i < kRecords; ++i) on_fifo->write(example.record);
  EXPECT_LT(steady_clock::now() - start, scaled(10s));
  EXPECT_GT(on_fifo->dropped(), 0u);
  EXPECT_LT(on_fifo->dropped(), static_cast<std::uint64_t>(kRecords));
  const auto ending = steady_clock::now();
  on_fifo.reset();
  EXPECT_LT(steady_clock::now() - ending, Logger::kExitWait + scaled(2s));
}

// The real server with a session log file beside its configuration.
struct SessionLogServer : ::testing::Test {
  std::string ini(const std::string& keys) const {
    return server_ini({{"g", "tcp", port, "127.0.0.1", 9}}, 5000, 60000, "127.0.0.1", keys);
  }
  TempDir dir;
  const std::string file = (dir.path() / "sessions.log").string();
  const int port = free_port();
};

TEST_F(SessionLogServer, SighupOpensANewFileAtThePathAfterARename) {
  RunningServer server(ini("session_log = " + file + "\n"));
  ASSERT_TRUE(std::filesystem::exists(file));
  std::filesystem::rename(file, file + ".1");
  server.process().signal(SIGHUP);
  ASSERT_TRUE(server.process().wait_for_line("[INFO] configuration reloaded: "));
  EXPECT_TRUE(std::filesystem::exists(file));
}

TEST_F(SessionLogServer, AFileThatCannotBeOpenedFailsTheStart) {
  const std::string missing = file + "/x";
  const RunResult r = run(server_binary(),
                          {"--config", dir.write("s.ini", ini("session_log = " + missing + "\n"))});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "server startup failed: 会话日志无法打开: " + missing + "\n");
}

TEST_F(SessionLogServer, AFileThatCannotBeOpenedFailsAReloadAndTheOldStays) {
  RunningServer server(ini("session_log = " + file + "\n"));
  const std::string missing = file + "/x";
  server.rewrite(ini("session_log = " + missing + "\n"));
  server.process().signal(SIGHUP);
  EXPECT_TRUE(server.process().wait_for_line(
      "[WARN] configuration reload failed: 会话日志无法打开: " + missing));
  EXPECT_TRUE(std::filesystem::is_regular_file(file));
}

// Every line an object of time (UTC, ms), level and message, strings escaped.
TEST_F(SessionLogServer, MainLogInJsonIsOneObjectPerLine) {
  const std::string json_route = "q\"\\x";
  const std::string keys = "log_format = json\n";
  RunningServer server(
      server_ini({{json_route, "tcp", port, "127.0.0.1", 9}}, 5000, 60000, "127.0.0.1", keys));
  ASSERT_TRUE(server.terminate() == 0);
  std::vector<std::string> lines = server.process().stdout_lines();
  std::ranges::transform(lines, lines.begin(), json_stamp_as_t);
  EXPECT_EQ(
      lines,
      (std::vector<std::string>{
          R"({"time":"T","level":"INFO","message":"server route q\"\\x [tcp] listening 127.0.0.1:)" +
              std::to_string(port) + R"( -> 127.0.0.1:9"})",
          R"({"time":"T","level":"INFO","message":"server started; press Ctrl+C to stop"})",
          R"({"time":"T","level":"INFO","message":"server stopped"})"}));
}

}  // namespace
}  // namespace tarnwicket::test
