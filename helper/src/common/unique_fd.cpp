#include "common/unique_fd.hpp"

#include <unistd.h>

namespace service {

void UniqueFd::reset(int fd) {
  const int old = std::exchange(fd_, fd);
  if (old >= 0)
    ::close(old);
}

}  // namespace service
