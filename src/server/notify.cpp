#include "server/notify.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "net/unix_datagram.h"

namespace tarnwicket {

namespace {

void notify(std::string_view state) {
  // Read on every call: nothing in this process changes the environment.
  const char* socket = std::getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe)
  if (socket != nullptr) static_cast<void>(send_unix_datagram(socket, state));
}

}  // namespace

void notify_ready() { notify("READY=1"); }

void notify_reloading() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = static_cast<long long>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1'000;
  notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void notify_stopping() { notify("STOPPING=1"); }

void notify_status(std::string_view text) { notify("STATUS=" + std::string(text)); }

}  // namespace tarnwicket
