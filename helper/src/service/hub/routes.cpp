#include "service/hub/routes.hpp"

#include "service/hub/log_buffer.hpp"
#include "service/hub/protocol.hpp"
#include "service/hub/refusals.hpp"
#include "service/hub/request_decoding.hpp"
#include "service/hub/request_guard.hpp"

#include <optional>
#include <string_view>
#include <variant>

namespace service::hub {

namespace {

using http::HeadVerdict;
using http::RequestHead;

// A route either answers the request or refuses it at its first failing step.
using RouteOutcome = std::variant<HeadVerdict, Refusal>;

struct Route {
  std::string_view name;
  std::string_view method;
  // Once path and method match: read the route's input and hand the work on.
  RouteOutcome (*accept)(const RequestHead& head, const CoreOperations& core);
};

http::BlockingWork ping_request(const CoreOperations& core, PingParams params) {
  return {[&core, params = std::move(params)] { return http::Response(core.ping(params)); },
          [](const std::string& error) {
            return ping_response(Error("Helper ping task failed: " + error));
          }};
}

template <class Params, CoreStep (CoreOperations::*operation)(const Params&) const>
http::BlockingWork core_request(const CoreOperations& core, Params params, const char* task) {
  return {
      [&core, params = std::move(params)]() -> std::variant<http::Response, http::ExclusiveStep> {
        return (core.*operation)(params);
      },
      [task](const std::string& error) {
        return error_response("internalError", std::string(task) + " task failed: " + error, 500);
      }};
}

RouteOutcome accept_ping(const RequestHead& head, const CoreOperations& core) {
  auto params = read_ping_query(head.target);
  if (!params)
    return Refusal(RefusalKind::InvalidQuery);
  return HeadVerdict(ping_request(core, std::move(*params)));
}

// The checks of the two POST routes before the body, and the body's decoding.
template <class Params, std::optional<Params> (*decode)(std::string_view),
          CoreStep (CoreOperations::*operation)(const Params&) const>
RouteOutcome accept_json(const RequestHead& head, const CoreOperations& core, const char* task) {
  const auto length = read_content_length(head);
  if (const auto* refused = std::get_if<RefusalKind>(&length))
    return Refusal(*refused);
  if (!content_type_is_json(head))
    return Refusal(RefusalKind::UnsupportedMediaType);
  http::ReadBody read;
  read.length = static_cast<std::size_t>(std::get<std::uint64_t>(length));
  read.then = [&core, task](std::optional<std::string> body) -> http::Answer {
    if (!body)
      return handle_rejection(Refusal(RefusalKind::BodyReadError));
    auto params = decode(*body);
    if (!params)
      return handle_rejection(Refusal(RefusalKind::BodyDeserializeError));
    return core_request<Params, operation>(core, std::move(*params), task);
  };
  return HeadVerdict(std::move(read));
}

RouteOutcome accept_start(const RequestHead& head, const CoreOperations& core) {
  return accept_json<StartParams, &decode_start_params, &CoreOperations::start>(head, core,
                                                                                "Core start");
}

RouteOutcome accept_stop(const RequestHead& head, const CoreOperations& core) {
  return accept_json<StopParams, &decode_stop_params, &CoreOperations::stop>(head, core,
                                                                             "Core stop");
}

RouteOutcome accept_logs(const RequestHead&, const CoreOperations&) {
  return HeadVerdict(get_logs());
}

constexpr Route ROUTES[] = {
    {"ping", "GET", &accept_ping},
    {"start", "POST", &accept_start},
    {"stop", "POST", &accept_stop},
    {"logs", "GET", &accept_logs},
};

RouteOutcome try_route(const Route& route, const RequestHead& head, const CoreOperations& core) {
  if (!path_matches(request_path(head.target), route.name))
    return Refusal(RefusalKind::NotFound);
  if (head.method != route.method)
    return Refusal(RefusalKind::MethodNotAllowed);
  return route.accept(head, core);
}

class RouteFilter final : public http::RequestHandler {
 public:
  explicit RouteFilter(const CoreOperations& core) : core_(core) {}

  HeadVerdict on_head(const RequestHead& head) const override {
    if (auto refused = check_request_guard(head))
      return handle_rejection(Refusal(*refused));
    std::optional<Refusal> refusal;
    for (const auto& route : ROUTES) {
      RouteOutcome outcome = try_route(route, head, core_);
      if (auto* verdict = std::get_if<HeadVerdict>(&outcome))
        return std::move(*verdict);
      const auto& refused = std::get<Refusal>(outcome);
      refusal = refusal ? refusal->combined_with(refused) : refused;
    }
    return handle_rejection(*refusal);
  }

 private:
  const CoreOperations& core_;
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

std::shared_ptr<const http::RequestHandler> routes(const CoreOperations& core) {
  return std::make_shared<const RouteFilter>(core);
}

}  // namespace service::hub
