#pragma once

#include "common/guarded.hpp"

#include <cstddef>
#include <deque>
#include <string>

namespace service::hub {

inline constexpr std::size_t LOG_CAPACITY = 100;

using LogLines = std::deque<std::string>;

// The helper's only log: the last LOG_CAPACITY lines, in memory, oldest first.
Guarded<LogLines>& LOGS();

void log_message(std::string line);

// The lines joined with one line feed between two lines.
std::string read_logs();

}  // namespace service::hub
