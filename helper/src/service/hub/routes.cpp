#include "service/hub/routes.hpp"

#include "service/hub/core_operations.hpp"
#include "service/hub/log_buffer.hpp"
#include "service/hub/protocol.hpp"
#include "service/hub/refusals.hpp"
#include "service/hub/request_decoding.hpp"
#include "service/hub/request_guard.hpp"

#include <functional>
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

http::BlockingWork start_request(StartParams params) {
  return {[params = std::move(params)] { return start_core(params); },
          [](const std::string& error) {
            return error_response("internalError", "Core start task failed: " + error, 500);
          }};
}

http::BlockingWork stop_request(StopParams params) {
  return {[params = std::move(params)] { return stop_core(params); },
          [](const std::string& error) {
            return error_response("internalError", "Core stop task failed: " + error, 500);
          }};
}

http::BlockingWork ping_request(PingParams params) {
  return {[params = std::move(params)] { return ping_core(params); },
          [](const std::string& error) {
            return ping_response(Error("Helper ping task failed: " + error));
          }};
}

RouteOutcome ping_route(const RequestHead& head) {
  if (auto refused = match(head, "ping", "GET"))
    return *refused;
  auto params = read_ping_query(head.target);
  if (!params)
    return Refusal(RefusalKind::InvalidQuery);
  return HeadVerdict(ping_request(std::move(*params)));
}

// The checks of the two POST routes before the body, and the body's decoding.
template <class Params>
RouteOutcome json_route(const RequestHead& head, std::string_view name,
                        std::optional<Params> (*decode)(std::string_view),
                        http::BlockingWork (*request)(Params)) {
  if (auto refused = match(head, name, "POST"))
    return *refused;
  const auto length = read_content_length(head);
  if (const auto* refused = std::get_if<RefusalKind>(&length))
    return Refusal(*refused);
  if (!content_type_is_json(head))
    return Refusal(RefusalKind::UnsupportedMediaType);
  http::ReadBody read;
  read.length = static_cast<std::size_t>(std::get<std::uint64_t>(length));
  read.then = [decode, request](std::optional<std::string> body) -> http::Answer {
    if (!body)
      return handle_rejection(Refusal(RefusalKind::BodyReadError));
    auto params = decode(*body);
    if (!params)
      return handle_rejection(Refusal(RefusalKind::BodyDeserializeError));
    return request(std::move(*params));
  };
  return HeadVerdict(std::move(read));
}

RouteOutcome start_route(const RequestHead& head) {
  return json_route<StartParams>(head, "start", &decode_start_params, &start_request);
}

RouteOutcome stop_route(const RequestHead& head) {
  return json_route<StopParams>(head, "stop", &decode_stop_params, &stop_request);
}

RouteOutcome logs_route(const RequestHead& head) {
  if (auto refused = match(head, "logs", "GET"))
    return *refused;
  return HeadVerdict(get_logs());
}

class RouteFilter final : public http::RequestHandler {
 public:
  HeadVerdict on_head(const RequestHead& head) const override {
    if (auto refused = check_request_guard(head))
      return handle_rejection(Refusal(*refused));
    std::optional<Refusal> refusal;
    for (auto* route : {&ping_route, &start_route, &stop_route, &logs_route}) {
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
