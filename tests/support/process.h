#pragma once

// Runs the real binaries as child processes, for the tests and the benchmark,
// and writes the server's configuration. Every wait takes a deadline, which
// the kit stretches (see scaled).

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/net.h"

namespace tarnwicket::test {

using namespace std::chrono_literals;

std::filesystem::path server_binary();
std::filesystem::path manifest_binary();
std::filesystem::path source_dir();

// A whole file's bytes; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);
// The file tests/data/NAME with each key of `values` replaced by its value.
std::string test_data(const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& values = {});

// The rows of the table tests/data/NAME (keys of `values` replaced as by
// test_data): "INPUT => EXPECTED", or INPUT alone for an empty EXPECTED;
// blank lines and lines that start with '#' are left out.
struct TableRow {
  std::string where;  // NAME:LINE
  std::string input, expected;
};
std::vector<TableRow> table(const std::string& name,
                            const std::vector<std::pair<std::string, std::string>>& values = {});
// A JSON line of the main log with its stamp, a UTC "YYYY-MM-DDTHH:MM:SS.mmmZ"
// within a minute of now, written as "T": {"time":"T",...}. Any other line as it is.
std::string json_stamp_as_t(const std::string& line);
// The cases of tests/data/NAME as rows: a line "=== EXPECTED" (EXPECTED may be
// empty), then the input, the text up to the next such line. What comes
// before the first case describes the file.
std::vector<TableRow> cases(const std::string& name);
// `text` with \r, \n, \0, \\ and \xHH turned into the bytes they stand for.
std::string unescape(std::string_view text);

// A server.ini for the real binary: the [server] section and one
// [route:NAME] section per route.
struct RouteSpec {
  std::string name, protocol;
  int listen_port;
  std::string target_host;
  int target_port;
  int max_connections = 0;  // 0: key left out
  bool enabled = true;
  std::string extra{};  // further "key = value" lines of the route
};

// `server_keys`: further "key = value" lines of the [server] section.
std::string server_ini(const std::vector<RouteSpec>& routes, int connection_timeout_ms = 5000,
                       int udp_idle_timeout_ms = 60000,
                       const std::string& listen_address = "127.0.0.1",
                       const std::string& server_keys = "");

// A fresh directory under the system's temporary directory, removed with its
// content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes a file below the directory and returns its full path.
  std::filesystem::path write(const std::string& name, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

struct ProcessOptions {
  std::filesystem::path workdir{};         // empty: the current directory
  std::optional<long> nofile_limit{};      // RLIMIT_NOFILE (soft and hard) for the child
  std::optional<long> memory_limit{};      // RLIMIT_AS in bytes, likewise
  int stdout_fd = -1;                      // the child's standard output instead of a file
  std::vector<std::string> environment{};  // NAME=VALUE entries added to the child's
  std::vector<std::string> wrapper{};      // a command (found on PATH) that runs the binary
};

// One child process, its standard output and error captured in files. Not
// thread safe: one test thread drives it.
class Process {
 public:
  Process(const std::filesystem::path& binary, std::vector<std::string> args,
          ProcessOptions options = {});
  ~Process();  // kills the child with SIGKILL if it still runs, and reaps it

  pid_t pid() const { return pid_; }
  void signal(int signo);

  // Waits until some whole stdout line contains `needle` (lines already
  // written count). Each wait reads on from where the last read stopped.
  bool wait_for_line(std::string_view needle, std::chrono::milliseconds deadline = 10s) {
    return wait_for_lines(needle, 1, deadline);
  }
  // Waits until `count` whole stdout lines contain `needle`.
  bool wait_for_lines(std::string_view needle, size_t count,
                      std::chrono::milliseconds deadline = 10s);
  size_t count_lines(std::string_view needle);

  // Waits for the exit; the exit status, or 128 + signal number; nullopt on timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds deadline = 10s);

  // Output so far; after wait_exit, all of it. The last line may be unfinished.
  // (count_lines and the waits take whole lines only.)
  std::vector<std::string> stdout_lines();
  std::string stdout_text();
  std::string stderr_text();

 private:
  bool ended();        // reaps the child once it has ended
  void read_output();  // takes what stdout got since the last read into lines_

  TempDir dir_;  // holds the output files
  Fd output_;    // stdout, read on from where the last read stopped
  std::vector<std::string> lines_;
  std::string unfinished_;  // the last line read, while it has no newline yet
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct RunResult {
  int status = -1;
  std::string out, err;
};

// Runs a short-lived command to its end and fails the running test after the
// deadline: defined by the GoogleTest part of the kit (gateway_fixture.cpp).
RunResult run(const std::filesystem::path& binary, std::vector<std::string> args,
              ProcessOptions options = {}, std::chrono::milliseconds deadline = 20s);

// Counts of the child's threads (/proc/PID/task) and open descriptors
// (/proc/PID/fd), and its resident and proportional memory in KiB.
size_t thread_count(pid_t pid);
size_t fd_count(pid_t pid);
double resident_kib(pid_t pid);
double proportional_kib(pid_t pid);
// The number after `key` at the start of a line of a /proc file
// ("/proc/meminfo", "Slab:"), or 0.
double proc_number(const std::filesystem::path& file, std::string_view key);
// TCP sockets of this network namespace to 127.0.0.1:port (/proc/net/tcp), in
// `state` as the kernel writes it ("02": SYN_SENT) or, when empty, in any.
size_t tcp_sockets_to(int port, std::string_view state = "");

// Polls a measurement until it satisfies `ok` or the deadline passes; gives
// the last value. For process-state checks that have no event to wait on.
template <class Measure, class Ok>
auto eventually(Measure measure, Ok ok, std::chrono::milliseconds deadline = 10s) {
  const auto until = std::chrono::steady_clock::now() + scaled(deadline);
  for (auto value = measure();; value = measure()) {
    if (ok(value) || std::chrono::steady_clock::now() >= until) return value;
    std::this_thread::sleep_for(20ms);
  }
}

template <class Condition>
bool eventually_true(Condition condition, std::chrono::milliseconds deadline = 10s) {
  return eventually(
      condition, [](bool ok) { return ok; }, deadline);
}

}  // namespace tarnwicket::test
