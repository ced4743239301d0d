#include "common/executable_path.hpp"

#include <unistd.h>

#include <cerrno>

namespace service {

Result<std::string> executable_path() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0)
      return Error::last_os();
    // readlink truncates silently: a full buffer may hold a cut path.
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return Result<std::string>(boost::system::in_place_value, std::move(path));
    }
    if (path.size() >= 65536)
      return Error::from_os(ENAMETOOLONG);
    path.resize(path.size() * 2);
  }
}

}  // namespace service
