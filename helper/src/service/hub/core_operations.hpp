#pragma once

#include "service/http/message.hpp"
#include "service/hub/protocol.hpp"

namespace service::hub {

// The blocking work behind /start, /stop and /ping; each builds the whole reply.
http::Response start_core(const StartParams& params);
http::Response stop_core(const StopParams& params);
http::Response ping_core(const PingParams& params);

}  // namespace service::hub
