#include "service/hub/routes.hpp"

#include "service/hub/log_buffer.hpp"
#include "service/hub/protocol.hpp"
#include "service/hub/refusals.hpp"
#include "service/hub/request_decoding.hpp"

#include <optional>
#include <variant>

namespace service::hub {

namespace {

using http::HeadVerdict;
using http::RequestHead;

// A route either answers the request or refuses it at its first failing step.
using RouteOutcome = std::variant<HeadVerdict, Refusal>;

std::optional<Refusal> match(const RequestHead& head, std::string_view name,
                             std::string_view method) {
  if (!path_matches(request_path(head.target), name))
    return Refusal(RefusalKind::NotFound);
  if (head.method != method)
    return Refusal(RefusalKind::MethodNotAllowed);
  return std::nullopt;
}

RouteOutcome logs_route(const RequestHead& head) {
  if (auto refused = match(head, "logs", "GET"))
    return *refused;
  return HeadVerdict(get_logs());
}

class RouteFilter final : public http::RequestHandler {
 public:
  HeadVerdict on_head(const RequestHead& head) const override {
    std::optional<Refusal> refusal;
    for (auto* route : {&logs_route}) {
      RouteOutcome outcome = route(head);
      if (auto* verdict = std::get_if<HeadVerdict>(&outcome))
        return std::move(*verdict);
      const auto& refused = std::get<Refusal>(outcome);
      refusal = refusal ? refusal->combined_with(refused) : refused;
    }
    return handle_rejection(*refusal);
  }
};

}  // namespace

http::Response get_logs() {
  http::Response response;
  response.status = 200;
  response.body = read_logs();
  response.set_header("content-type", TEXT_CONTENT_TYPE);
  response.set_header("cache-control", "no-store");
  return response;
}

std::shared_ptr<const http::RequestHandler> routes() {
  static const auto filter = std::make_shared<const RouteFilter>();
  return filter;
}

}  // namespace service::hub
