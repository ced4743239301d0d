#pragma once

#include <string_view>

namespace service::hub {

// SHA-256 of the Core that ships with this build, 64 lowercase hexadecimal
// characters. Generated at build time from the shipped file.
extern const std::string_view CORE_SHA256;

}  // namespace service::hub
