#pragma once

#include "common/error.hpp"
#include "service/linux/owner_ids.hpp"

namespace service::linux {

// The user behind pkexec or sudo: the user ID from PKEXEC_UID or SUDO_UID,
// the primary group from `id -g`.
Result<Owner> invoking_owner();

}  // namespace service::linux
