#pragma once

#include "service/http/message.hpp"
#include "service/hub/refusals.hpp"

#include <optional>
#include <string_view>

namespace service::hub {

// "browser origins and non-local hosts are not allowed": refuses any Origin,
// and a Host that is not one of the helper's local names. Only the first of
// each header counts; a value outside visible ASCII and tab is InvalidHeader.
std::optional<RefusalKind> check_request_guard(const http::RequestHead& head);

// The whole value is a URI authority, scanned as the guard does.
bool is_authority(std::string_view value);
// The host part of an authority: after the last "@", up to the port.
std::string_view authority_host(std::string_view authority);

}  // namespace service::hub
