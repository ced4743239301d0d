#include "common/pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace service {

Result<Pipe> Pipe::open() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0)
    return Error::last_os();
  return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

}  // namespace service
