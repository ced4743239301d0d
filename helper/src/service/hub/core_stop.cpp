#include "service/hub/core_operations.hpp"
#include "service/hub/core_registry.hpp"
#include "service/hub/core_verification.hpp"
#include "service/hub/log_buffer.hpp"
#include "service/hub/refusals.hpp"

namespace service::hub {

namespace {

http::Response stop_checked_core(const StopParams& params) {
  auto registry = lock_surviving_poison(MANAGED_CORE());
  if (!*registry)
    return json_response(StopResponse{params.sessionId, false, "notRunning"}, 200);
  if ((*registry)->session_id != params.sessionId) {
    return json_response(StopResponse{params.sessionId, false, "sessionMismatch"}, 409);
  }
  if (auto released = release_managed_core(*registry); !released) {
    log_message("Helper could not stop the managed Core: " + released.error().message());
    return error_response("coreStopFailed", released.error().message(), 500);
  }
  return json_response(StopResponse{params.sessionId, true, std::nullopt}, 200);
}

}  // namespace

CoreStep stop_core(const StopParams& params) {
  if (!is_valid_session_id(params.sessionId)) {
    return error_response("invalidRequest", "invalid Core session ID", 400);
  }
  return http::ExclusiveStep([params] { return stop_checked_core(params); });
}

}  // namespace service::hub
