#include "net/unix_datagram.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>

#include "net/fd.h"

namespace tarnwicket {

bool send_unix_datagram(std::string_view path, std::string_view data) {
  sockaddr_un to{};
  const bool abstract = path.starts_with('@');
  if ((!abstract && !path.starts_with('/')) || path.size() > sizeof to.sun_path) return false;
  to.sun_family = AF_UNIX;
  path.copy(to.sun_path, path.size());
  if (abstract) to.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  const UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket) return false;
  ssize_t sent = -1;
  do {
    sent = ::sendto(socket.get(), data.data(), data.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&to), length);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(data.size());
}

}  // namespace tarnwicket
