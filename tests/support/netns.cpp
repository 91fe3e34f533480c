#include "support/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <stdexcept>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {

std::optional<std::string> shell(const std::string& command) {
  RunResult result = run("/bin/sh", {"-c", command});
  if (result.status != 0) return std::nullopt;
  return result.out;
}

NetnsLab::NetnsLab() {
  const std::string id = std::to_string(::getpid());
  names_ = {"twc" + id, "twg" + id, "tws" + id};
  const std::string c = "ip -n " + names_[kClientSide] + " ",
                    g = "ip -n " + names_[kGatewaySide] + " ",
                    s = "ip -n " + names_[kServerSide] + " ";
  const std::string gx = "ip netns exec " + names_[kGatewaySide] + " ";
  // Replies from the game server to a player's address are the gateway's own
  // traffic when a transparent socket holds them: marked, and routed locally.
  const std::string routing = gx + "nft add table inet tarnwicket && " + gx +
                              "nft add chain inet tarnwicket prerouting '{ type filter hook "
                              "prerouting priority mangle; }' && " +
                              gx +
                              "nft add rule inet tarnwicket prerouting meta l4proto '{ tcp, udp }' "
                              "socket transparent 1 meta mark set 1 accept && " +
                              g + "rule add fwmark 1 lookup 100 && " + g +
                              "route add local 0.0.0.0/0 dev lo table 100";
  const std::string setup =
      "set -e; for n in " + names_[0] + " " + names_[1] + " " + names_[2] +
      "; do ip netns add $n; ip -n $n link set lo up; done; " + g +
      "link add g0 type veth peer name c0 netns " + names_[kClientSide] + "; " + g +
      "link add g1 type veth peer name s0 netns " + names_[kServerSide] + "; " + c + "addr add " +
      kClient + "/24 dev c0; " + c + "link set c0 up; " + c + "route add default via " + kGateway +
      "; " + g + "addr add " + kGateway + "/24 dev g0; " + g + "link set g0 up; " + g +
      "addr add " + kGatewayUp + "/24 dev g1; " + g + "link set g1 up; " + s + "addr add " +
      kServer + "/24 dev s0; " + s + "link set s0 up; " + s + "route add default via " +
      kGatewayUp + "; " + routing;
  if (!shell("command -v ip >/dev/null && command -v nft >/dev/null")) {
    failure_ = "ip (iproute2) and nft (nftables) are needed to make the namespaces";
  } else if (!shell(setup)) {
    failure_ = "network namespaces cannot be made here (root and nftables' socket match needed)";
  }
}

NetnsLab::~NetnsLab() {
  for (const std::string& name : names_) {
    shell("ip netns del " + name + " 2>/dev/null || true");
  }
}

Fd NetnsLab::client(int type, int port) const {
  InNamespace inside(*this, kClientSide);
  return ip_connect(type, kGateway, port);
}

Fd NetnsLab::game_server(int type) const {
  InNamespace inside(*this, kServerSide);
  Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  ::inet_pton(AF_INET, kServer, &at.sin_addr);
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      (type == SOCK_STREAM && ::listen(fd.get(), 16) != 0)) {
    throw std::runtime_error("game server socket");
  }
  set_receive_timeout(fd.get(), 10s);
  return fd;
}

InNamespace::InNamespace(const NetnsLab& lab, NetnsLab::Side side)
    : home_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
  Fd target(::open(("/var/run/netns/" + lab.ns(side)).c_str(), O_RDONLY | O_CLOEXEC));
  if (!home_ || !target || ::setns(target.get(), CLONE_NEWNET) != 0) {
    throw std::runtime_error("cannot enter namespace " + lab.ns(side));
  }
}

InNamespace::~InNamespace() { ::setns(home_.get(), CLONE_NEWNET); }

}  // namespace tarnwicket::test
