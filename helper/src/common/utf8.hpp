#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace service {

// Where a byte string stops being UTF-8. `error_length` is empty when the
// input ends inside a sequence that could still have been completed.
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::size_t> error_length;

  // "invalid utf-8 sequence of {n} bytes from index {i}" or
  // "incomplete utf-8 byte sequence from index {i}".
  std::string message() const;
};

std::optional<Utf8Error> check_utf8(std::string_view bytes);
inline bool is_valid_utf8(std::string_view bytes) {
  return !check_utf8(bytes).has_value();
}

// Each maximal invalid subpart becomes one U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace service
