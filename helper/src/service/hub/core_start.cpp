#include "service/hub/core_launch.hpp"
#include "service/hub/core_operations.hpp"
#include "service/hub/core_registry.hpp"
#include "service/hub/core_verification.hpp"
#include "service/hub/core_watcher.hpp"
#include "service/hub/log_buffer.hpp"
#include "service/hub/refusals.hpp"

#include <system_error>
#include <thread>

namespace service::hub {

namespace {

http::Response launch_failure(const Error& error) {
  log_message(error.message());
  std::optional<ErrorDetails> details;
  if (error.os_code())
    details = ErrorDetails{*error.os_code()};
  return json_response(ErrorResponse{"processLaunchFailed", error.message(), details}, 500);
}

// Under the registry lock: stop whatever Core runs, verify, launch, register.
http::Response start_checked_core(const StartParams& params) {
  auto registry = lock_surviving_poison(MANAGED_CORE());
  if (auto released = release_managed_core(*registry); !released) {
    log_message("Helper could not release the managed Core: " + released.error().message());
    return error_response("coreStopFailed", released.error().message(), 500);
  }
  auto verified = verify_core();
  if (!verified) {
    return error_response("coreVerificationFailed", verified.error().message(), 409);
  }
  auto step = adopt_core_owner();
  if (!step)
    return launch_failure(step.error());
  auto spawned = spawn_core(*verified, params.address, *step);
  if (!spawned)
    return launch_failure(spawned.error());

  try {
    std::thread(watch_core, params.sessionId, std::move(spawned->stderr_read_end)).detach();
  } catch (const std::system_error& failure) {
    // No watcher, no Core: dropping the spawned Core kills and collects it,
    // where an unregistered one would run on unseen.
    return error_response("internalError", std::string("Core start task failed: ") + failure.what(),
                          500);
  }
  const auto pid = static_cast<std::uint32_t>(spawned->process.id());
  registry->emplace(ManagedCore{params.sessionId, CoreProcess(spawned->process.release())});
  return json_response(StartResponse{params.sessionId, pid}, 200);
}

}  // namespace

CoreStep start_core(const StartParams& params) {
  if (!is_valid_core_address(params.address)) {
    return error_response("invalidRequest", "invalid Core address", 400);
  }
  if (!is_valid_session_id(params.sessionId)) {
    return error_response("invalidRequest", "invalid Core session ID", 400);
  }
  auto owner = linux::owner_from_env();
  if (!owner)
    return error_response("invalidRequest", owner.error().message(), 400);
  if (auto socket = check_core_socket(params.address, owner->uid); !socket) {
    return error_response("invalidRequest", socket.error().message(), 400);
  }
  return http::ExclusiveStep([params] { return start_checked_core(params); });
}

}  // namespace service::hub
