#pragma once

#include "common/error.hpp"

#include <string>

namespace service {

// The running program's path as the kernel reports it (/proc/self/exe).
Result<std::string> executable_path();

}  // namespace service
