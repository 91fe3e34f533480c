#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "support/net.h"

namespace tarnwicket::test {

namespace {

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

[[noreturn]] void fail(const char* message) {
  const ssize_t ignored = ::write(2, message, std::strlen(message));
  static_cast<void>(ignored);
  _exit(127);
}

// Child side of fork: only async-signal-safe calls from here to execv.
[[noreturn]] void exec_child(const char* binary, char* const* argv, const char* workdir,
                             const rlimit* nofile, int null_fd, int out_fd, int err_fd,
                             int max_fd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int signo : {SIGPIPE, SIGINT, SIGTERM}) sigaction(signo, &dfl, nullptr);
  // The child must not outlive a test that crashes. (This ties it to the
  // forking thread, so tests start processes from their own main thread.)
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::dup2(null_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0) {
    fail("process: dup2 failed\n");
  }
  // Sockets of the test (echo servers, clients) must not leak into the child.
  if (::close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < max_fd; ++fd) ::close(fd);
  }
  if (workdir != nullptr && ::chdir(workdir) != 0) fail("process: chdir failed\n");
  if (nofile != nullptr && ::setrlimit(RLIMIT_NOFILE, nofile) != 0) {
    fail("process: setrlimit failed\n");
  }
  ::execv(binary, argv);
  fail("process: execv failed\n");
}

size_t count_entries(const std::filesystem::path& dir) {
  std::error_code ec;
  size_t count = 0;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    ++count;
  }
  return count;
}

}  // namespace

std::filesystem::path server_binary() { return TARNWICKET_SERVER_BIN; }

std::filesystem::path manifest_binary() {
#ifdef TARNWICKET_MANIFEST_BIN
  return TARNWICKET_MANIFEST_BIN;
#else
  return std::filesystem::path(TARNWICKET_BINARY_DIR) / "src" / "tarnwicket-manifest";
#endif
}

std::filesystem::path source_dir() { return TARNWICKET_SOURCE_DIR; }

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnwicket-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw_errno("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string& name, const std::string& content) const {
  const std::filesystem::path file = path_ / name;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
  return file;
}

Process::Process(const std::filesystem::path& binary, std::vector<std::string> args,
                 ProcessOptions options) {
  // Everything the child needs is prepared before fork: it may not allocate.
  const std::string binary_text = binary.string();
  std::vector<std::string> arg_texts;
  arg_texts.push_back(binary_text);
  for (auto& arg : args) arg_texts.push_back(std::move(arg));
  std::vector<char*> argv;
  for (auto& arg : arg_texts) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string workdir = options.workdir.string();
  rlimit nofile{};
  if (options.nofile_limit) {
    nofile.rlim_cur = nofile.rlim_max = static_cast<rlim_t>(*options.nofile_limit);
  }
  rlimit own{};
  ::getrlimit(RLIMIT_NOFILE, &own);
  const int max_fd = own.rlim_cur == RLIM_INFINITY ? 65536 : static_cast<int>(own.rlim_cur);

  Fd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  int out_pipe[2];
  int err_pipe[2];
  if (!null_fd) throw_errno("open /dev/null");
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) throw_errno("pipe2");
  Fd out_read(out_pipe[0]);
  Fd out_write(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) throw_errno("pipe2");
  Fd err_read(err_pipe[0]);
  Fd err_write(err_pipe[1]);

  pid_ = ::fork();
  if (pid_ < 0) throw_errno("fork");
  if (pid_ == 0) {
    exec_child(binary_text.c_str(), argv.data(), workdir.empty() ? nullptr : workdir.c_str(),
               options.nofile_limit ? &nofile : nullptr, null_fd.get(), out_write.get(),
               err_write.get(), max_fd);
  }
  // The parent keeps only the read ends, so that EOF arrives when the child ends.
  out_write.reset();
  err_write.reset();
  out_reader_ =
      std::thread([this, fd = std::move(out_read)]() mutable { read_output(fd.get(), true); });
  err_reader_ =
      std::thread([this, fd = std::move(err_read)]() mutable { read_output(fd.get(), false); });
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
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) break;
  }
  // Reaped under the lock, together with setting status_: see ~Process.
  int raw = 0;
  std::lock_guard lock(mutex_);
  pid_t reaped;
  while ((reaped = ::waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
  }
  if (reaped < 0) {
    status_ = -1;
  } else {
    status_ = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
  }
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
    if (n <= 0) {
      if (is_stdout) {
        if (line_start_ < out_.size()) lines_.push_back(out_.substr(line_start_));
        line_start_ = out_.size();
        out_closed_ = true;
      } else {
        err_closed_ = true;
      }
      changed_.notify_all();
      return;
    }
    if (!is_stdout) {
      err_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    out_.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = out_.find('\n', line_start_)) != std::string::npos;) {
      lines_.push_back(out_.substr(line_start_, end - line_start_));
      line_start_ = end + 1;
    }
    changed_.notify_all();
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
  if (!changed_.wait_for(lock, deadline,
                         [&] { return status_.has_value() && out_closed_ && err_closed_; })) {
    return std::nullopt;
  }
  return status_;
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

RunResult run(const std::filesystem::path& binary, std::vector<std::string> args,
              ProcessOptions options, std::chrono::milliseconds deadline) {
  Process process(binary, std::move(args), std::move(options));
  RunResult result;
  const auto status = process.wait_exit(deadline);
  if (!status) {
    ADD_FAILURE() << binary << " did not end within " << deadline.count() << " ms";
  } else {
    result.status = *status;
  }
  result.out = process.stdout_text();
  result.err = process.stderr_text();
  return result;
}

size_t thread_count(pid_t pid) {
  return count_entries(std::filesystem::path("/proc") / std::to_string(pid) / "task");
}

size_t fd_count(pid_t pid) {
  return count_entries(std::filesystem::path("/proc") / std::to_string(pid) / "fd");
}

size_t resident_kib(pid_t pid) {
  std::ifstream status(std::filesystem::path("/proc") / std::to_string(pid) / "status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

}  // namespace tarnwicket::test
