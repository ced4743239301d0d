#pragma once

#include "common/error.hpp"

namespace service::linux {

// Stops and disables the service, removes its unit and has systemd reload.
Result<void> uninstall_service();

}  // namespace service::linux
