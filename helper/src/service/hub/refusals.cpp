#include "service/hub/refusals.hpp"

#include <algorithm>

namespace service::hub {

bool Refusal::only_not_found() const {
  return std::all_of(causes_.begin(), causes_.end(),
                     [](RefusalKind kind) { return kind == RefusalKind::NotFound; });
}

bool Refusal::holds(RefusalKind kind) const {
  return std::find(causes_.begin(), causes_.end(), kind) != causes_.end();
}

Refusal Refusal::combined_with(const Refusal& later) const {
  if (later.only_not_found())
    return *this;
  if (only_not_found())
    return later;
  Refusal both = *this;
  both.causes_.insert(both.causes_.end(), later.causes_.begin(), later.causes_.end());
  return both;
}

http::Response error_response(std::string code, std::string message, unsigned status) {
  return json_response(ErrorResponse{std::move(code), std::move(message), std::nullopt}, status);
}

http::Response handle_rejection(const Refusal& refusal) {
  using enum RefusalKind;
  if (refusal.only_not_found())
    return error_response("notFound", "Helper endpoint not found", 404);
  if (refusal.holds(ForbiddenClient)) {
    auto response = error_response("invalidRequest",
                                   "browser origins and non-local hosts are not allowed", 403);
    response.set_header("connection", "close");
    return response;
  }
  if (refusal.holds(InvalidQuery)) {
    auto response = error_response("invalidRequest", "invalid ping query", 400);
    response.set_header(HELPER_PROTOCOL_HEADER, HELPER_PROTOCOL_VERSION);
    return response;
  }
  if (refusal.holds(BodyDeserializeError)) {
    return error_response("invalidRequest", "invalid JSON request body", 400);
  }
  if (refusal.holds(PayloadTooLarge)) {
    auto response = error_response("invalidRequest", "request body exceeds 4096 bytes", 413);
    response.set_header("connection", "close");
    return response;
  }
  if (refusal.holds(LengthRequired)) {
    return error_response("invalidRequest", "request body length is required", 411);
  }
  if (refusal.holds(InvalidHeader)) {
    return error_response("invalidRequest", "invalid request header", 400);
  }
  if (refusal.holds(MethodNotAllowed)) {
    return error_response("invalidRequest", "Helper endpoint does not accept this method", 405);
  }
  return error_response("internalError", "unhandled Helper request rejection", 500);
}

}  // namespace service::hub
