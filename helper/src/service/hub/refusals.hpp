#pragma once

#include "service/http/message.hpp"
#include "service/hub/protocol.hpp"

#include <string>
#include <vector>

namespace service::hub {

enum class RefusalKind {
  NotFound,
  MethodNotAllowed,
  InvalidHeader,
  ForbiddenClient,
  InvalidQuery,
  LengthRequired,
  PayloadTooLarge,
  UnsupportedMediaType,
  BodyReadError,
  BodyDeserializeError,
};

// Why the route filter did not accept a request: its causes, earlier route first.
class Refusal {
 public:
  explicit Refusal(RefusalKind kind) : causes_{kind} {}

  bool only_not_found() const;
  bool holds(RefusalKind kind) const;
  // NotFound yields to any other kind; otherwise the causes are kept, earlier first.
  Refusal combined_with(const Refusal& later) const;
  const std::vector<RefusalKind>& causes() const { return causes_; }

 private:
  std::vector<RefusalKind> causes_;
};

template <class Record>
http::Response json_response(const Record& record, unsigned status) {
  http::Response response;
  response.status = status;
  response.body = encode(record);
  response.set_header("content-type", JSON_CONTENT_TYPE);
  return response;
}

http::Response error_response(std::string code, std::string message, unsigned status);

// Always answers: status, code, message and extra header by the refusal's kinds.
http::Response handle_rejection(const Refusal& refusal);

}  // namespace service::hub
