#include "service/hub/refusals.hpp"

#include <gtest/gtest.h>

namespace service::hub {
namespace {

std::string header(const http::Response& response, std::string_view name) {
  for (const auto& h : response.headers) {
    if (h.name == name)
      return h.value;
  }
  return "-";
}

TEST(HandleRejection, AnswersEveryKindWithItsRow) {
  using enum RefusalKind;
  struct Case {
    RefusalKind kind;
    unsigned status;
    std::string body;
    std::string connection;
    std::string protocol;
  };
  const Case cases[] = {
      {NotFound, 404, R"({"code":"notFound","message":"Helper endpoint not found"})", "-", "-"},
      {ForbiddenClient, 403,
       R"({"code":"invalidRequest","message":"browser origins and non-local hosts are not allowed"})",
       "close", "-"},
      {InvalidQuery, 400, R"({"code":"invalidRequest","message":"invalid ping query"})", "-", "6"},
      {BodyDeserializeError, 400,
       R"({"code":"invalidRequest","message":"invalid JSON request body"})", "-", "-"},
      {PayloadTooLarge, 413,
       R"({"code":"invalidRequest","message":"request body exceeds 4096 bytes"})", "close", "-"},
      {LengthRequired, 411,
       R"({"code":"invalidRequest","message":"request body length is required"})", "-", "-"},
      {InvalidHeader, 400, R"({"code":"invalidRequest","message":"invalid request header"})", "-",
       "-"},
      {MethodNotAllowed, 405,
       R"({"code":"invalidRequest","message":"Helper endpoint does not accept this method"})", "-",
       "-"},
      {UnsupportedMediaType, 500,
       R"({"code":"internalError","message":"unhandled Helper request rejection"})", "-", "-"},
      {BodyReadError, 500,
       R"({"code":"internalError","message":"unhandled Helper request rejection"})", "-", "-"},
  };
  for (const auto& c : cases) {
    const auto response = handle_rejection(Refusal(c.kind));
    EXPECT_EQ(response.status, c.status) << c.body;
    EXPECT_EQ(response.body, c.body);
    EXPECT_EQ(header(response, "content-type"), "application/json");
    EXPECT_EQ(header(response, "connection"), c.connection) << c.body;
    EXPECT_EQ(header(response, "x-korvane-helper-protocol"), c.protocol) << c.body;
  }
}

TEST(Refusal, NotFoundYieldsToAnyOtherKindAndTheOrderDecides) {
  using enum RefusalKind;
  const Refusal not_found(NotFound);
  EXPECT_TRUE(not_found.combined_with(Refusal(NotFound)).only_not_found());
  const auto method = not_found.combined_with(Refusal(MethodNotAllowed)).combined_with(not_found);
  EXPECT_EQ(method.causes(), std::vector<RefusalKind>{MethodNotAllowed});
  EXPECT_EQ(handle_rejection(method).status, 405u);
  // Two kinds: the table's order picks, not the routes' order.
  const auto both = Refusal(MethodNotAllowed).combined_with(Refusal(LengthRequired));
  EXPECT_EQ(handle_rejection(both).status, 411u);
}

TEST(JsonEncoding, CompactInTableOrderWithoutAbsentMembers) {
  EXPECT_EQ(encode(StopResponse{"s", true, std::nullopt}), R"({"sessionId":"s","stopped":true})");
  EXPECT_EQ(encode(StopResponse{"s", false, "notRunning"}),
            R"({"sessionId":"s","stopped":false,"reason":"notRunning"})");
  EXPECT_EQ(encode(StartResponse{"s", 4294967295u}), R"({"sessionId":"s","pid":4294967295})");
  EXPECT_EQ(encode(ErrorResponse{"processLaunchFailed", "Permission denied (os error 13)",
                                 ErrorDetails{13}}),
            R"j({"code":"processLaunchFailed","message":"Permission denied (os error 13)",)j"
            R"j("details":{"osError":13}})j");
  EXPECT_EQ(
      encode(ErrorResponse{"c", "\"\\\n\x01/\xC3\xA9", ErrorDetails{-2}}),
      "{\"code\":\"c\",\"message\":\"\\\"\\\\\\n\\u0001/\xC3\xA9\",\"details\":{\"osError\":-2}}");
}

TEST(PingResponse, CarriesTheProtocolHeaderEitherWay) {
  const auto ok = ping_response(Result<std::string>(boost::system::in_place_value, "/opt/h\xFF"));
  EXPECT_EQ(ok.status, 200u);
  EXPECT_EQ(ok.body, "/opt/h\xEF\xBF\xBD");
  EXPECT_EQ(header(ok, "content-type"), "text/plain; charset=utf-8");
  EXPECT_EQ(header(ok, "x-korvane-helper-protocol"), "6");
  const auto failed = ping_response(Error("No such file or directory (os error 2)"));
  EXPECT_EQ(failed.status, 409u);
  EXPECT_EQ(failed.body, "No such file or directory (os error 2)");
  EXPECT_EQ(header(failed, "x-korvane-helper-protocol"), "6");
}

}  // namespace
}  // namespace service::hub
