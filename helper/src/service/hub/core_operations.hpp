#pragma once

#include "service/http/message.hpp"
#include "service/hub/protocol.hpp"

#include <variant>

namespace service::hub {

// The blocking work behind /start, /stop and /ping; each builds the whole
// reply. Start and stop check their input first, side by side with other
// work, and hand the part that holds the Core registry on as an exclusive
// step, so that requests waiting for the registry hold no thread.
using CoreStep = std::variant<http::Response, http::ExclusiveStep>;

class CoreOperations {
 public:
  virtual ~CoreOperations() = default;
  virtual CoreStep start(const StartParams& params) const = 0;
  virtual CoreStep stop(const StopParams& params) const = 0;
  virtual http::Response ping(const PingParams& params) const = 0;
};

// The operations on the real registry, Core executable and log.
const CoreOperations& managed_core_operations();

CoreStep start_core(const StartParams& params);
CoreStep stop_core(const StopParams& params);
http::Response ping_core(const PingParams& params);

}  // namespace service::hub
