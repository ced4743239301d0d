#include "service/linux/listener.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace service::linux {

Result<UniqueFd> set_up_listener() {
  const std::string path = SOCKET_PATH;
  struct stat existing {};
  // Metadata through symbolic links: a dangling link is left for bind to refuse.
  if (::stat(SOCKET_PATH, &existing) == 0 && ::unlink(SOCKET_PATH) != 0) {
    return Error::last_os().context("remove stale " + path);
  }

  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener)
    return Error::last_os().context("bind " + path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, SOCKET_PATH, path.size());
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), -1) != 0) {
    return Error::last_os().context("bind " + path);
  }
  if (::chmod(SOCKET_PATH, 0660) != 0)
    return Error::last_os().context("secure " + path);
  return listener;
}

}  // namespace service::linux
