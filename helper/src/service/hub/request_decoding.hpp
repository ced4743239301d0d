#pragma once

#include "service/http/message.hpp"
#include "service/hub/protocol.hpp"
#include "service/hub/refusals.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace service::hub {

// The path of a request target: origin form up to "?", or the path of an
// absolute-form target.
std::string_view request_path(std::string_view target);

// The first segment equals `name` exactly, followed by nothing or by one "/".
bool path_matches(std::string_view path, std::string_view name);

// Content-Length as the POST routes read it: present, every value an unsigned
// decimal (optional "+") and all the same, at most MAX_BODY_BYTES.
std::variant<std::uint64_t, RefusalKind> read_content_length(const http::RequestHead& head);

// Absent, or application/json with any parameters.
bool content_type_is_json(const http::RequestHead& head);

// The /ping query: exactly one "coreSha256", nothing else.
std::optional<PingParams> read_ping_query(std::string_view target);

// Strict records: an object with exactly the record's members, or an array
// of the values in order; strings only; nothing but whitespace after.
std::optional<StartParams> decode_start_params(std::string_view body);
std::optional<StopParams> decode_stop_params(std::string_view body);

}  // namespace service::hub
