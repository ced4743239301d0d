#include "common/os_error.hpp"

#include <string.h>

namespace service {

std::string os_error_text(int code) {
  char buffer[256];
  // GNU strerror_r: the description may live in `buffer` or in static storage.
  const char* description = ::strerror_r(code, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

}  // namespace service
