#include "common/child_process.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

namespace service {

Result<int> ChildProcess::wait() {
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno == EINTR)
      continue;
    const int code = errno;
    pid_ = -1;
    return Error::from_os(code);
  }
  pid_ = -1;
  return status;
}

void ChildProcess::kill_and_wait() {
  if (pid_ <= 0)
    return;
  ::kill(pid_, SIGKILL);
  (void)wait();
}

}  // namespace service
