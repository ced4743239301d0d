#pragma once

#include "common/error.hpp"
#include "common/unique_fd.hpp"

namespace service::linux {

inline constexpr const char* SOCKET_PATH = "/run/korvane-vesk/helper.sock";

// Removes whatever is at SOCKET_PATH, binds and listens there (non-blocking,
// close-on-exec) and sets the file's mode to 0660. The directory is systemd's
// to create, and the file keeps the service's user and group.
Result<UniqueFd> set_up_listener();

}  // namespace service::linux
