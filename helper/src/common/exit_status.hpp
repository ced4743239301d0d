#pragma once

#include <string>

namespace service {

// A child's wait status as text: "exit status: N", or "signal: N (SIGNAME)",
// with " (core dumped)" when a core was written.
std::string exit_status_text(int wait_status);

}  // namespace service
