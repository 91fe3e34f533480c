#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
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
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string workdir = options.workdir.string();
  const auto nofile = static_cast<rlim_t>(options.nofile_limit.value_or(0));
  const rlimit limit{nofile, nofile};
  Fd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  int out[2];
  int err[2];
  if (!null_fd || ::pipe2(out, O_CLOEXEC) != 0) throw_errno("pipe2");
  Fd out_read(out[0]);
  Fd out_write(out[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) throw_errno("pipe2");
  Fd err_read(err[0]);
  Fd err_write(err[1]);

  pid_ = ::fork();
  if (pid_ < 0) throw_errno("fork");
  if (pid_ == 0) {
    // Child: only async-signal-safe calls from here to execv.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signo : {SIGPIPE, SIGINT, SIGTERM}) ::signal(signo, SIG_DFL);
    // The child must not outlive a test that crashes. (This ties it to the
    // forking thread, so tests start processes from their own main thread.)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    bool ok = ::dup2(null_fd.get(), 0) == 0 && ::dup2(out_write.get(), 1) == 1 &&
              ::dup2(err_write.get(), 2) == 2;
    // Sockets of the test (echo servers, clients) must not leak into the child.
    if (ok && ::close_range(3, ~0U, 0) != 0) {
      for (int fd = 3; fd < 65536; ++fd) ::close(fd);
    }
    ok = ok && (workdir.empty() || ::chdir(workdir.c_str()) == 0) &&
         (!options.nofile_limit || ::setrlimit(RLIMIT_NOFILE, &limit) == 0);
    if (ok) ::execv(argv[0], argv.data());
    constexpr char kMessage[] = "process: cannot set up or exec the child\n";
    static_cast<void>(::write(2, kMessage, sizeof kMessage - 1) < 0);
    _exit(127);
  }
  // The parent keeps only the read ends, so that EOF arrives when the child ends.
  out_write.reset();
  err_write.reset();
  out_reader_ = std::thread([this, fd = std::move(out_read)] { read_output(fd.get(), true); });
  err_reader_ = std::thread([this, fd = std::move(err_read)] { read_output(fd.get(), false); });
  waiter_ = std::thread([this] { wait_child(); });
}

Process::~Process() {
  {
    // The child is reaped only after status_ is set under this lock, so an
    // unset status means the pid still belongs to our child.
    std::lock_guard lock(mutex_);
    if (!status_) ::kill(pid_, SIGKILL);
  }
  waiter_.join();
  out_reader_.join();
  err_reader_.join();
}

void Process::wait_child() {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 &&
         errno == EINTR) {
  }
  // Reaped under the lock, together with setting status_: see ~Process.
  std::lock_guard lock(mutex_);
  int raw = 0;
  pid_t reaped;
  while ((reaped = ::waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
  }
  status_ = reaped < 0 ? -1 : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
  changed_.notify_all();
}

void Process::signal(int signo) const {
  std::lock_guard lock(mutex_);
  if (!status_) ::kill(pid_, signo);
}

void Process::read_output(int fd, bool is_stdout) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n > 0) (is_stdout ? out_ : err_).append(buffer, static_cast<size_t>(n));
    (is_stdout ? out_closed_ : err_closed_) = n <= 0;
    // Complete lines; at the end the unfinished last one too.
    while (is_stdout && line_start_ < out_.size()) {
      size_t end = out_.find('\n', line_start_);
      if (end == std::string::npos && !out_closed_) break;
      end = std::min(end, out_.size());
      lines_.push_back(out_.substr(line_start_, end - line_start_));
      line_start_ = end + 1;
    }
    changed_.notify_all();
    if (n <= 0) return;
  }
}

size_t Process::count_locked(std::string_view needle) const {
  size_t count = 0;
  for (const auto& line : lines_) count += line.find(needle) != std::string::npos ? 1 : 0;
  return count;
}

bool Process::wait_for_line(std::string_view needle, std::chrono::milliseconds deadline) {
  return wait_for_lines(needle, 1, deadline);
}

bool Process::wait_for_lines(std::string_view needle, size_t count,
                             std::chrono::milliseconds deadline) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, deadline, [&] { return out_closed_ || count_locked(needle) >= count; });
  return count_locked(needle) >= count;
}

size_t Process::count_lines(std::string_view needle) {
  std::lock_guard lock(mutex_);
  return count_locked(needle);
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds deadline) {
  std::unique_lock lock(mutex_);
  const bool ended =
      changed_.wait_for(lock, deadline, [&] { return status_ && out_closed_ && err_closed_; });
  return ended ? status_ : std::nullopt;
}

std::vector<std::string> Process::stdout_lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string Process::stdout_text() {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string Process::stderr_text() {
  std::lock_guard lock(mutex_);
  return err_;
}

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

}  // namespace tarnwicket::test
