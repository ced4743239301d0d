#pragma once

#include <string>

namespace service {

// "{description} (os error {code})" with the C library's description.
std::string os_error_text(int code);

}  // namespace service
