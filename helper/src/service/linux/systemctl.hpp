#pragma once

#include "common/error.hpp"

#include <string>
#include <vector>

namespace service::linux {

// Runs systemctl with `args`, sharing the helper's terminal, and succeeds
// only when it exits with code 0.
Result<void> run_systemctl(const std::vector<std::string>& args);

}  // namespace service::linux
