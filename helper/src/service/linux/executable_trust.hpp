#pragma once

#include "common/error.hpp"

#include <string_view>

namespace service::linux {

// Succeeds when only root can change what runs at `executable`: the file and
// its directory are root's and writable by nobody else, and so is every
// directory above them, where a root-owned sticky directory also passes
// because nobody else can rename root's entries in it.
Result<void> ensure_only_root_can_change(std::string_view executable);

}  // namespace service::linux
