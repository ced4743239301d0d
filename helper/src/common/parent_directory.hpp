#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace service {

// The directory that holds `path`: "/" for "/x", empty for a bare name, and
// nothing for "/" or an empty path, which have no parent.
std::optional<std::string> parent_directory(std::string_view path);

}  // namespace service
