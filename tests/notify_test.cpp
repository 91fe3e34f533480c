// Plays the service manager: a datagram socket named by NOTIFY_SOCKET, and
// what arrives on it, when.

#include "server/notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

// Binds a datagram socket at `path` ('@': abstract) with a 10 s receive time-out.
Fd notify_socket(const std::string& path) {
  sockaddr_un address{AF_UNIX, {}};
  path.copy(address.sun_path, path.size());
  if (path[0] == '@') address.sun_path[0] = '\0';
  Fd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  set_receive_timeout(socket.get(), 10s);
  return socket;
}

TEST(Notify, ReadyOnlyOnceListenersAcceptStoppingOnSigterm) {
  const int port = free_port(), admin_port = free_port();
  TempDir dir;
  const std::string path = (dir.path() / "notify").string();
  const Fd manager = notify_socket(path);
  const auto ini = dir.write(
      "server.ini", server_ini({{"g", "tcp", port, "127.0.0.1", 9}}, 5000, 60000, "127.0.0.1",
                               "admin_port = " + std::to_string(admin_port) + "\n"));
  Process server(server_binary(), {"--config", ini}, {.environment = {"NOTIFY_SOCKET=" + path}});
  ASSERT_EQ(udp_recv(manager.get()), "READY=1");
  EXPECT_TRUE(tcp_connect(port) && tcp_connect(admin_port));
  server.signal(SIGTERM);
  EXPECT_EQ(udp_recv(manager.get()), "STOPPING=1");
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST(Notify, ReloadingCarriesTheMonotonicTime) {
  const std::string name = "@tarnwicket-notify-" + std::to_string(::getpid());
  const Fd manager = notify_socket(name);
  ASSERT_EQ(::setenv("NOTIFY_SOCKET", name.c_str(), 1), 0);
  // steady_clock is CLOCK_MONOTONIC on Linux.
  const auto before = std::chrono::steady_clock::now().time_since_epoch();
  notify_reloading();
  const auto after = std::chrono::steady_clock::now().time_since_epoch();
  ::unsetenv("NOTIFY_SOCKET");
  const std::string message = udp_recv(manager.get()).value_or("");
  const std::chrono::microseconds sent(std::stoll(message.substr(message.rfind('=') + 1)));
  EXPECT_EQ(message, "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(sent.count()));
  EXPECT_TRUE(before - 1us < sent && sent <= after) << message;
}

}  // namespace
}  // namespace tarnwicket::test
