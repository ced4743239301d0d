#pragma once

#include <string_view>

namespace service::hub {

// The path of a request target: origin form up to "?", or the path of an
// absolute-form target.
std::string_view request_path(std::string_view target);

// The first segment equals `name` exactly, followed by nothing or by one "/".
bool path_matches(std::string_view path, std::string_view name);

}  // namespace service::hub
