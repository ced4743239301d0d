#pragma once

#include "common/error.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace service::linux {

// The desktop user the helper serves. Neither ID is ever 0.
struct Owner {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  friend bool operator==(const Owner&, const Owner&) = default;
};

inline constexpr const char* OWNER_UID_ENV = "KORVANE_HELPER_OWNER_UID";
inline constexpr const char* OWNER_GID_ENV = "KORVANE_HELPER_OWNER_GID";

// Strips every character with the Unicode White_Space property from both ends.
std::string_view trim_unicode_whitespace(std::string_view text);

// An optional "+" then ASCII digits, at most 4294967295; 0 is allowed here.
Result<std::uint32_t> parse_unsigned_id(std::string_view trimmed);

Result<std::uint32_t> parse_owner_id(std::string_view text);
Result<std::uint32_t> read_id_env(const char* name);
Result<Owner> owner_from_env();

// A byte string quoted and escaped for a message, invalid UTF-8 as \xHH.
std::string quote_escaped(std::string_view bytes);

}  // namespace service::linux
