#include "service/linux/uninstall.hpp"

#include "service/linux/child_command.hpp"
#include "service/linux/install.hpp"
#include "service/linux/systemctl.hpp"

#include <unistd.h>

#include <cerrno>

namespace service::linux {

Result<void> uninstall_service() {
  // Best effort and silent: the service may be unknown, or systemd absent.
  (void)run_child({"systemctl", "disable", "--now", UNIT_NAME}, ChildStreams::DiscardOutput);
  if (::unlink(UNIT_PATH) != 0) {
    const int code = errno;
    // Nothing installed: nothing for systemd to forget either.
    if (code == ENOENT)
      return {};
    return Error(std::string("remove ") + UNIT_PATH, Error::from_os(code));
  }
  return run_systemctl({"daemon-reload"});
}

}  // namespace service::linux
