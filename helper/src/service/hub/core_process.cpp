#include "service/hub/core_process.hpp"

#include <signal.h>
#include <sys/wait.h>

namespace service::hub {

Result<bool> CoreProcess::try_wait() {
  if (wait_status_)
    return true;
  int status = 0;
  const pid_t result = ::waitpid(pid_, &status, WNOHANG);
  if (result < 0)
    return Error::last_os();
  if (result == 0)
    return false;
  wait_status_ = status;
  return true;
}

bool CoreProcess::send_signal(int signal) const {
  return ::kill(pid_, signal) == 0;
}

}  // namespace service::hub
