// The route filter without a socket: which route answers, how refusals
// combine, and what reaches the Core operations.
#include "service/hub/routes.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace service::hub {
namespace {

// Records what reaches it and answers with a reply that names the call.
class RecordingCore final : public CoreOperations {
 public:
  CoreStep start(const StartParams& params) const override {
    calls.push_back("start " + params.address + " " + params.sessionId);
    return http::ExclusiveStep([] { return named(201); });
  }
  CoreStep stop(const StopParams& params) const override {
    calls.push_back("stop " + params.sessionId);
    return named(202);
  }
  http::Response ping(const PingParams& params) const override {
    calls.push_back("ping " + params.coreSha256);
    return named(203);
  }
  static http::Response named(unsigned status) {
    http::Response response;
    response.status = status;
    return response;
  }
  mutable std::vector<std::string> calls;
};

// What the head's verdict comes to once a body (if asked for) is handed
// over and the blocking work (with its exclusive step) has run.
http::Response settle(const http::HeadVerdict& verdict, std::optional<std::string> body = "") {
  http::Answer answer;
  if (const auto* read = std::get_if<http::ReadBody>(&verdict)) {
    answer = read->then(std::move(body));
  } else if (const auto* response = std::get_if<http::Response>(&verdict)) {
    answer = *response;
  } else {
    answer = std::get<http::BlockingWork>(verdict);
  }
  if (const auto* response = std::get_if<http::Response>(&answer))
    return *response;
  auto step = std::get<http::BlockingWork>(answer).run();
  if (auto* response = std::get_if<http::Response>(&step))
    return *response;
  return std::get<http::ExclusiveStep>(step)();
}

struct Request {
  std::string method;
  std::string target;
  std::vector<http::HeaderView> headers = {};
};

http::HeadVerdict judge(const http::RequestHandler& filter, const Request& request) {
  http::RequestHead head;
  head.method = request.method;
  head.target = request.target;
  head.headers = request.headers;
  return filter.on_head(head);
}

std::string code_of(const http::Response& response) {
  const auto at = response.body.find("\"code\":\"");
  return at == std::string::npos
             ? ""
             : response.body.substr(at + 8, response.body.find('"', at + 8) - at - 8);
}

TEST(Routes, PrecedenceOfGuardPathAndMethod) {
  RecordingCore core;
  const auto filter = routes(core);
  struct Case {
    Request request;
    unsigned status;
    std::string code;
  };
  const Case cases[] = {
      // No route has the path: 404 only when every route says so.
      {{"GET", "/nothing"}, 404, "notFound"},
      {{"GET", "/"}, 404, "notFound"},
      {{"GET", "/Ping"}, 404, "notFound"},
      // One route has the path: its method refusal wins over the others' 404.
      {{"POST", "/logs"}, 405, "invalidRequest"},
      {{"GET", "/start"}, 405, "invalidRequest"},
      {{"HEAD", "/ping?coreSha256=x"}, 405, "invalidRequest"},
      {{"get", "/logs"}, 405, "invalidRequest"},
      // The guard comes before any route, so also before a 404.
      {{"GET", "/nothing", {{"origin", "null"}}}, 403, "invalidRequest"},
      {{"POST", "/logs", {{"host", "example.com"}}}, 403, "invalidRequest"},
      {{"GET", "/nothing", {{"origin", "\xC3\xA9"}}}, 400, "invalidRequest"},
      // A route's own steps, in their order.
      {{"GET", "/ping"}, 400, "invalidRequest"},
      {{"POST", "/stop"}, 411, "invalidRequest"},
      {{"POST", "/stop", {{"content-length", "4097"}, {"content-type", "text/plain"}}},
       413,
       "invalidRequest"},
      {{"POST", "/start", {{"content-length", "2"}, {"content-type", "text/plain"}}},
       500,
       "internalError"},
  };
  for (const auto& c : cases) {
    const auto response = settle(judge(*filter, c.request));
    EXPECT_EQ(response.status, c.status) << c.request.method << " " << c.request.target;
    EXPECT_EQ(code_of(response), c.code) << c.request.method << " " << c.request.target;
  }
  EXPECT_TRUE(core.calls.empty());
}

TEST(Routes, AcceptedRequestsReachTheCoreOperationsAsDecoded) {
  RecordingCore core;
  const auto filter = routes(core);
  const std::string session = "0123456789abcdef0123456789abcdef";
  const std::string start_body =
      R"({"address":"/tmp/KorvaneVeskSocket_1.sock","sessionId":")" + session + "\"}";
  const std::string stop_body = R"(["x"])";
  const std::string length = std::to_string(start_body.size());
  const std::string stop_length = std::to_string(stop_body.size());
  EXPECT_EQ(settle(judge(*filter, {"GET", "/ping/?core%53ha256=a+b"})).status, 203u);
  EXPECT_EQ(
      settle(judge(*filter, {"POST", "/start", {{"content-length", length}}}), start_body).status,
      201u);
  EXPECT_EQ(settle(judge(*filter, {"POST",
                                   "/stop",
                                   {{"content-length", stop_length},
                                    {"content-type", "application/json; charset=utf-8"}}}),
                   stop_body)
                .status,
            202u);
  EXPECT_EQ(core.calls,
            (std::vector<std::string>{"ping a b", "start /tmp/KorvaneVeskSocket_1.sock " + session,
                                      "stop x"}));

  // A body that cannot be read or decoded never reaches them.
  core.calls.clear();
  const Request stop{"POST", "/stop", {{"content-length", "2"}}};
  const auto unreadable = settle(judge(*filter, stop), std::nullopt);
  EXPECT_EQ(unreadable.status, 500u);
  const auto undecodable = settle(judge(*filter, stop), "{}");
  EXPECT_EQ(undecodable.status, 400u);
  EXPECT_EQ(code_of(undecodable), "invalidRequest");
  EXPECT_TRUE(core.calls.empty());
}

TEST(Routes, ATaskThatFailsGetsItsRoutesReply) {
  RecordingCore core;
  const auto filter = routes(core);
  const auto verdict = judge(*filter, {"GET", "/ping?coreSha256=x"});
  const auto& work = std::get<http::BlockingWork>(verdict);
  const auto ping = work.on_failure("cancelled");
  EXPECT_EQ(ping.status, 409u);
  EXPECT_EQ(ping.body, "Helper ping task failed: cancelled");
  const auto read =
      std::get<http::ReadBody>(judge(*filter, {"POST", "/stop", {{"content-length", "2"}}}));
  const auto stop = std::get<http::BlockingWork>(read.then(R"(["x"])")).on_failure("cancelled");
  EXPECT_EQ(stop.status, 500u);
  EXPECT_EQ(stop.body, R"({"code":"internalError","message":"Core stop task failed: cancelled"})");
}

}  // namespace
}  // namespace service::hub
