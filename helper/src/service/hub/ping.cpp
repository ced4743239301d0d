#include "common/executable_path.hpp"
#include "service/hub/core_digest.hpp"
#include "service/hub/core_operations.hpp"
#include "service/hub/core_verification.hpp"
#include "service/hub/log_buffer.hpp"
#include "service/hub/refusals.hpp"

#include <fcntl.h>

namespace service::hub {

namespace {

Result<std::string> locate_helper_with_core() {
  // One look at the helper's own path serves both the Core's path and the
  // reply.
  auto helper = executable_path();
  if (!helper)
    return helper.error();
  auto core = core_path_beside(*helper);
  if (!core)
    return core.error();
  // Opened and closed at once: ping says the Core is there, it does not hash it.
  if (UniqueFd file(::open(core->c_str(), O_RDONLY | O_CLOEXEC)); !file)
    return Error::last_os();
  return helper;
}

}  // namespace

http::Response ping_core(const PingParams& params) {
  if (params.coreSha256 != CORE_SHA256) {
    log_message("Helper ping rejected a Core SHA256 mismatch");
    auto response = error_response("coreSha256Mismatch", "Core SHA256 mismatch", 409);
    response.set_header(HELPER_PROTOCOL_HEADER, HELPER_PROTOCOL_VERSION);
    return response;
  }
  auto helper = locate_helper_with_core();
  if (!helper)
    log_message("Helper ping failed: " + helper.error().message());
  return ping_response(helper);
}

}  // namespace service::hub
