#pragma once

#include "common/error.hpp"
#include "service/linux/owner_ids.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace service::linux {

inline constexpr const char* UNIT_PATH = "/etc/systemd/system/korvane-vesk-helper.service";
inline constexpr const char* UNIT_NAME = "korvane-vesk-helper";
inline constexpr const char* RUNTIME_DIRECTORY = "korvane-vesk";

// The executable path quoted for ExecStart= so that systemd reads back
// exactly this path: `"` and `\` get a backslash, `%` is doubled.
std::string exec_start_value(std::string_view executable);

std::string unit_text(std::string_view executable, const Owner& owner);

// The user ID on the first owner line of a unit, when that line holds one.
std::optional<std::uint32_t> installed_owner_uid(std::string_view unit);

// Refuses to overwrite a unit that another user installed.
Result<void> ensure_unit_is_free_for(std::uint32_t uid);

// Checks the executable, finds the owner, writes the unit and has systemd
// enable and (re)start the service.
Result<void> install_service();

}  // namespace service::linux
