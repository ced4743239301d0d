#pragma once

#include "service/http/message.hpp"
#include "service/hub/core_operations.hpp"

#include <memory>

namespace service::hub {

// The route filter: the guard, then /ping, /start, /stop and /logs in that
// order; whatever none of them accepts is answered by handle_rejection.
// Built once and shared by every connection; the Core work goes to `core`.
std::shared_ptr<const http::RequestHandler> routes(
    const CoreOperations& core = managed_core_operations());

http::Response get_logs();

}  // namespace service::hub
