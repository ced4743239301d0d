#pragma once

#include "common/error.hpp"

#include <span>
#include <string_view>

namespace service::linux {

enum class HelperCommand { Service, Install, Uninstall };

// `words` is the command line without the program name. The first word is
// compared byte for byte, untrimmed and case-sensitive.
Result<HelperCommand> parse_helper_command(std::span<const std::string_view> words);

}  // namespace service::linux
