#include "gateway/process_stats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwicket {

namespace {

std::int64_t boot_time_seconds() {
  std::ifstream stat("/proc/stat");
  for (std::string line; std::getline(stat, line);) {
    if (line.starts_with("btime ")) return std::stoll(line.substr(6));
  }
  return 0;
}

}  // namespace

ProcessStats read_process_stats() {
  ProcessStats p;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::ifstream stat_file("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
  // Fields after the command name, which may hold blanks and parentheses;
  // the first of them is field 3 of proc(5).
  const auto close = stat.rfind(')');
  if (close != std::string::npos && ticks > 0) {
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields),
                               std::istream_iterator<std::string>()};
    auto field = [&f](std::size_t n) { return n - 3 < f.size() ? std::stod(f[n - 3]) : 0.0; };
    p.cpu_seconds = (field(14) + field(15)) / ticks;
    p.threads = static_cast<std::int64_t>(field(20));
    p.start_time_seconds = static_cast<double>(boot_time_seconds()) + field(22) / ticks;
    p.resident_bytes = static_cast<std::int64_t>(field(24)) * sysconf(_SC_PAGESIZE);
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++p.open_fds;
  }
  if (p.open_fds > 0) --p.open_fds;  // the one that read the list
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) p.max_fds = static_cast<std::int64_t>(limit.rlim_cur);
  return p;
}

}  // namespace tarnwicket
