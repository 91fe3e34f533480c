// tarnwicket-relay-bench: measures every scenario directly against loopback
// upstreams of its own and through each contender started for the run (real
// tarnwicket-server builds, and HAProxy and nginx when asked for), and prints
// the medians side by side.
//
//   tarnwicket-relay-bench [--quick] [--reps N] [--only 1,2,...]
//                          [--server [NAME=]PATH [--engine ENGINE]]... [--haproxy]
//                          [--nginx] [--admin] [--udp-buffer BYTES]
//
// --server again and again compares builds, an old one against a new one, in
// one run, or engines of one build (--engine sets the `engine` key of the
// server named just before it); a bare PATH is named "gateway". --admin runs the servers with their
// admin listener on; --udp-buffer sets the UDP route's receive buffer: both to
// compare a run with and without.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bench.h"

namespace tarnwicket::bench {
namespace {

constexpr const char* kUsage =
    "usage: tarnwicket-relay-bench [--quick] [--reps N] [--only 1,2,...] [--server [NAME=]PATH]... "
    "[--engine ENGINE] [--haproxy] [--nginx] [--admin] [--udp-buffer BYTES]";

// NAME=PATH, or a bare PATH named "gateway". The name becomes a column and a
// file name in the temporary directory.
ContenderSetup server_setup(const std::string& arg) {
  const auto equals = arg.find('=');
  if (equals == std::string::npos || arg.find('/') < equals)
    return {"gateway", Kind::kTarnwicket, arg, ""};
  const std::string name = arg.substr(0, equals);
  const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char ch) {
    return std::isalnum(ch) || ch == '-' || ch == '_' || ch == '.';
  });
  if (!plain)
    throw std::runtime_error("--server " + arg + ": NAME may hold only A-Z a-z 0-9 - _ .");
  return {name, Kind::kTarnwicket, arg.substr(equals + 1), ""};
}

// A proxy that is not installed is left out with a note (scripts/setup.sh installs both).
void add_proxy(Settings& s, const char* name, Kind kind, const char* binary) {
  if (::access(binary, X_OK) != 0) {
    std::fprintf(stderr, "... %s left out: %s is not installed\n", name, binary);
    return;
  }
  s.contenders.push_back({name, kind, binary, ""});
}

Settings parse(int argc, char** argv) {
  Settings s;
  bool haproxy = false;
  bool nginx = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--quick") {
      s.reps = 5;
      s.flow_seconds = 0.5;
      s.round_trips = 3000;
      s.split_writes = 400;
    } else if (arg == "--reps" && i + 1 < argc) {
      s.reps = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc) {
      std::stringstream list(argv[++i]);
      std::string item;
      while (std::getline(list, item, ',')) s.only.insert(std::atoi(item.c_str()));
    } else if (arg == "--server" && i + 1 < argc) {
      s.contenders.push_back(server_setup(argv[++i]));
    } else if (arg == "--engine" && i + 1 < argc && !s.contenders.empty()) {
      s.contenders.back().server_keys = "engine = " + std::string(argv[++i]) + "\n";
    } else if (arg == "--haproxy") {
      haproxy = true;
    } else if (arg == "--nginx") {
      nginx = true;
    } else if (arg == "--admin") {
      s.admin = true;
    } else if (arg == "--udp-buffer" && i + 1 < argc) {
      s.udp_buffer = std::atoi(argv[++i]);
    } else {
      throw std::runtime_error(kUsage);
    }
  }
  if (s.contenders.empty())
    s.contenders.push_back({"gateway", Kind::kTarnwicket, server_binary(), ""});
  for (std::size_t i = 0; i < s.contenders.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (s.contenders[i].name == s.contenders[j].name)
        throw std::runtime_error("two servers named " + s.contenders[i].name);
    }
  }
  if (haproxy) add_proxy(s, "haproxy", Kind::kHaproxy, kHaproxyBinary);
  if (nginx) add_proxy(s, "nginx", Kind::kNginx, kNginxBinary);
  return s;
}

// Thousands of held connections need more descriptors than the usual soft limit.
void raise_fd_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace
}  // namespace tarnwicket::bench

int main(int argc, char** argv) {
  using namespace tarnwicket::bench;
  try {
    const Settings settings = parse(argc, argv);
    raise_fd_limit();
    const auto start = Clock::now();
    Bench bench(settings);
    bench.run();
    if (settings.contenders.size() == 1) {
      std::printf("\n%d goal(s) missed; %.0f s\n", bench.missed(), seconds_since(start));
    } else {
      std::printf("\n%d goal(s) missed by %s; %.0f s\n", bench.missed(),
                  settings.contenders[0].name.c_str(), seconds_since(start));
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "relay bench failed: %s\n", e.what());
    return 1;
  }
}
