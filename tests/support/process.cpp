#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "support/net.h"

namespace tarnwicket::test {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

fs::path proc_entry(pid_t pid, const char* name) {
  return fs::path("/proc") / std::to_string(pid) / name;
}

// Entries of a directory that may vanish while it is read (the process ends).
size_t count_entries(const fs::path& dir) {
  std::error_code ec;
  size_t count = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++count;
  return count;
}

}  // namespace

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string test_data(const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text = read_file(source_dir() / "tests/data" / name);
  for (const auto& [key, value] : values) {
    for (size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += value.size())
      text.replace(at, key.size(), value);
  }
  return text;
}

std::vector<TableRow> table(const std::string& name,
                            const std::vector<std::pair<std::string, std::string>>& values) {
  std::vector<TableRow> rows;
  std::istringstream in(test_data(name, values));
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    const size_t arrow = line.rfind(" => ");
    rows.push_back({name + ":" + std::to_string(number), line.substr(0, arrow),
                    arrow == line.npos ? "" : line.substr(arrow + 4)});
  }
  return rows;
}

std::vector<TableRow> cases(const std::string& name) {
  std::vector<TableRow> rows;
  std::istringstream in(test_data(name));
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.starts_with("==="))
      rows.push_back(
          {name + ":" + std::to_string(number), "", line.substr(std::min<size_t>(4, line.size()))});
    else if (!rows.empty())
      rows.back().input += line + "\n";
  }
  return rows;
}

std::string unescape(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '\\' || at + 1 == text.size()) {
      out += text[at];
    } else if (const char c = text[++at]; c == 'x') {
      out += static_cast<char>(std::stoi(std::string(text.substr(at + 1, 2)), nullptr, 16));
      at += 2;
    } else {
      out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == '0' ? '\0' : c;
    }
  }
  return out;
}

std::string server_ini(const std::vector<RouteSpec>& routes, int connection_timeout_ms,
                       int udp_idle_timeout_ms, const std::string& listen_address,
                       const std::string& server_keys) {
  std::string ini = "[server]\nlisten_address = " + listen_address +
                    "\nconnection_timeout_ms = " + std::to_string(connection_timeout_ms) +
                    "\nudp_idle_timeout_ms = " + std::to_string(udp_idle_timeout_ms) + "\n" +
                    server_keys;
  for (const RouteSpec& r : routes) {
    ini += "\n[route:" + r.name + "]\nprotocol = " + r.protocol +
           "\nlisten_port = " + std::to_string(r.listen_port) + "\ntarget_host = " + r.target_host +
           "\ntarget_port = " + std::to_string(r.target_port) + "\n";
    if (r.max_connections > 0)
      ini += "max_connections = " + std::to_string(r.max_connections) + "\n";
    if (!r.enabled) ini += "enabled = false\n";
    ini += r.extra;
  }
  return ini;
}

fs::path server_binary() { return TARNWICKET_SERVER_BIN; }
fs::path manifest_binary() { return TARNWICKET_MANIFEST_BIN; }
fs::path source_dir() { return TARNWICKET_SOURCE_DIR; }

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tarnwicket-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw_errno("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

fs::path TempDir::write(const std::string& name, const std::string& content) const {
  const fs::path file = path_ / name;
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!(out << content).flush()) throw std::runtime_error("cannot write " + file.string());
  return file;
}

Process::Process(const fs::path& binary, std::vector<std::string> args, ProcessOptions options) {
  // Everything the child needs is prepared before fork: it may not allocate.
  args.insert(args.begin(), binary.string());
  // env finds the wrapper on PATH; each of these runs the next in the same process.
  if (!options.wrapper.empty()) options.wrapper.insert(options.wrapper.begin(), "/usr/bin/env");
  args.insert(args.begin(), options.wrapper.begin(), options.wrapper.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // The added entries come first, so that they win over inherited ones.
  std::vector<char*> envp;
  for (auto& entry : options.environment) envp.push_back(entry.data());
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  envp.push_back(nullptr);
  const auto nofile = static_cast<rlim_t>(options.nofile_limit.value_or(0));
  const auto memory = static_cast<rlim_t>(options.memory_limit.value_or(0));
  const rlimit nofile_limit{nofile, nofile}, memory_limit{memory, memory};
  constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  Fd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  Fd out(::open((dir_.path() / "stdout").c_str(), kWrite, 0600));
  Fd err(::open((dir_.path() / "stderr").c_str(), kWrite, 0600));
  output_ = Fd(::open((dir_.path() / "stdout").c_str(), O_RDONLY | O_CLOEXEC));
  if (!null_fd || !out || !err || !output_) throw_errno("open");

  pid_ = ::fork();
  if (pid_ < 0) throw_errno("fork");
  if (pid_ == 0) {
    // Child: only async-signal-safe calls from here to execve.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signo : {SIGPIPE, SIGINT, SIGTERM}) ::signal(signo, SIG_DFL);
    // The child must not outlive a test that crashes. (This ties it to the
    // forking thread, so tests start processes from their own main thread.)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    bool ok = ::dup2(null_fd.get(), 0) == 0 &&
              ::dup2(options.stdout_fd >= 0 ? options.stdout_fd : out.get(), 1) == 1 &&
              ::dup2(err.get(), 2) == 2;
    // Sockets of the test (echo servers, clients) must not leak into the child.
    if (ok) ::closefrom(3);
    ok = ok && (options.workdir.empty() || ::chdir(options.workdir.c_str()) == 0) &&
         (!options.nofile_limit || ::setrlimit(RLIMIT_NOFILE, &nofile_limit) == 0) &&
         (!options.memory_limit || ::setrlimit(RLIMIT_AS, &memory_limit) == 0);
    if (ok) ::execve(argv[0], argv.data(), envp.data());
    constexpr char kMessage[] = "process: cannot set up or exec the child\n";
    static_cast<void>(::write(2, kMessage, sizeof kMessage - 1) < 0);
    _exit(127);
  }
}

Process::~Process() {
  if (ended()) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool Process::ended() {
  int raw = 0;
  pid_t reaped = 0;
  while (!status_ && (reaped = ::waitpid(pid_, &raw, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (reaped != 0) {
    status_ = reaped < 0 ? -1 : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
  }
  return status_.has_value();
}

void Process::signal(int signo) {
  if (!ended()) ::kill(pid_, signo);
}

void Process::read_output() {
  char buffer[65536];
  for (ssize_t n; (n = ::read(output_.get(), buffer, sizeof buffer)) > 0;) {
    unfinished_.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = unfinished_.find('\n', start)) != std::string::npos; start = end + 1)
      lines_.push_back(unfinished_.substr(start, end - start));
    unfinished_.erase(0, start);
  }
}

bool Process::wait_for_lines(std::string_view needle, size_t count,
                             std::chrono::milliseconds deadline) {
  size_t seen = 0, found = 0;  // only the lines read since the last look are searched
  const auto enough = [&] {
    read_output();
    for (; seen < lines_.size(); ++seen) found += lines_[seen].find(needle) != std::string::npos;
    return found >= count;
  };
  // A process that has ended writes no more lines.
  eventually_true([&] { return enough() || ended(); }, deadline);
  return enough();
}

size_t Process::count_lines(std::string_view needle) {
  read_output();
  return static_cast<size_t>(std::ranges::count_if(
      lines_, [&](const std::string& line) { return line.find(needle) != std::string::npos; }));
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds deadline) {
  eventually_true([&] { return ended(); }, deadline);
  return status_;
}

std::vector<std::string> Process::stdout_lines() {
  read_output();
  std::vector<std::string> lines = lines_;
  if (!unfinished_.empty()) lines.push_back(unfinished_);
  return lines;
}

std::string Process::stdout_text() { return read_file(dir_.path() / "stdout"); }

std::string Process::stderr_text() { return read_file(dir_.path() / "stderr"); }

size_t thread_count(pid_t pid) { return count_entries(proc_entry(pid, "task")); }

size_t fd_count(pid_t pid) { return count_entries(proc_entry(pid, "fd")); }

double resident_kib(pid_t pid) { return proc_number(proc_entry(pid, "smaps_rollup"), "Rss:"); }

double proportional_kib(pid_t pid) { return proc_number(proc_entry(pid, "smaps_rollup"), "Pss:"); }

double proc_number(const fs::path& file, std::string_view key) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(key)) return std::strtod(line.c_str() + key.size(), nullptr);
  }
  return 0;
}

size_t tcp_sockets_to(int port, std::string_view state) {
  std::ifstream table("/proc/net/tcp");
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  size_t count = 0;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, in_state;
    fields >> slot >> local >> remote >> in_state;
    count += remote == wanted && (state.empty() || in_state == state);
  }
  return count;
}

std::string json_stamp_as_t(const std::string& line) {
  // Digit by digit: std::regex trips the sanitizer build's warnings.
  const std::string prefix = "{\"time\":\"", form = "0000-00-00T00:00:00.000Z";
  if (!line.starts_with(prefix) || line.size() <= prefix.size() + form.size()) return line;
  const std::string stamp = line.substr(prefix.size(), form.size());
  for (size_t i = 0; i < form.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(stamp[i])) != 0;
    if (form[i] == '0' ? !digit : stamp[i] != form[i]) return line;
  }
  std::tm utc{};
  if (strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &utc) == nullptr) return line;
  if (std::abs(timegm(&utc) - std::time(nullptr)) > 60) return line;  // UTC, not the local zone
  return prefix + "T" + line.substr(prefix.size() + form.size());
}

}  // namespace tarnwicket::test
