#include "service/hub/request_decoding.hpp"

#include <gtest/gtest.h>

namespace service::hub {
namespace {

http::RequestHead with_headers(std::vector<http::HeaderView> headers) {
  http::RequestHead head;
  head.method = "POST";
  head.target = "/start";
  head.headers = std::move(headers);
  return head;
}

TEST(PathMatching, OneOptionalTrailingSlashAndNothingElse) {
  struct Case {
    std::string_view target;
    bool matches_ping;
  };
  const Case cases[] = {
      {"/ping", true},
      {"/ping/", true},
      {"/ping?coreSha256=x", true},
      {"/ping/?x", true},
      {"http://h/ping", true},
      {"http://h/ping/?a", true},
      {"/ping//", false},
      {"/ping/x", false},
      {"/Ping", false},
      {"/p%69ng", false},
      {"//ping", false},
      {"/pingx", false},
      {"/", false},
      {"", false},
      {"ping", false},
      {"http://ping", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(path_matches(request_path(c.target), "ping"), c.matches_ping) << c.target;
  }
}

TEST(ContentLength, ReadsAsThePostRoutesRequire) {
  using Headers = std::vector<http::HeaderView>;
  struct Case {
    Headers headers;
    std::variant<std::uint64_t, RefusalKind> expected;
  };
  const Case cases[] = {
      {{{"Content-Length", "46"}}, std::uint64_t{46}},
      {{{"content-length", "+46"}}, std::uint64_t{46}},
      {{{"Content-Length", "0"}}, std::uint64_t{0}},
      {{{"Content-Length", "0004096"}}, std::uint64_t{4096}},
      {{{"Content-Length", "5"}, {"content-length", "+5"}}, std::uint64_t{5}},
      {{}, RefusalKind::LengthRequired},
      {{{"Transfer-Encoding", "chunked"}}, RefusalKind::LengthRequired},
      {{{"Content-Length", "5, 5"}}, RefusalKind::LengthRequired},
      {{{"Content-Length", "5"}, {"Content-Length", "6"}}, RefusalKind::LengthRequired},
      {{{"Content-Length", ""}}, RefusalKind::LengthRequired},
      {{{"Content-Length", "+"}}, RefusalKind::LengthRequired},
      {{{"Content-Length", "-1"}}, RefusalKind::LengthRequired},
      {{{"Content-Length", "1e3"}}, RefusalKind::LengthRequired},
      {{{"Content-Length", "18446744073709551616"}}, RefusalKind::LengthRequired},
      {{{"Content-Length", "4097"}}, RefusalKind::PayloadTooLarge},
      {{{"Content-Length", "18446744073709551615"}}, RefusalKind::PayloadTooLarge},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_content_length(with_headers(c.headers)), c.expected)
        << (c.headers.empty() ? "(none)" : c.headers.front().value);
  }
}

TEST(ContentType, AcceptsJsonWithAnyParameters) {
  struct Case {
    std::optional<std::string> value;
    bool accepted;
  };
  const Case cases[] = {
      {std::nullopt, true},
      {"application/json", true},
      {"Application/JSON", true},
      {"application/json; charset=utf-8", true},
      {"application/json;charset=\"utf-8\"", true},
      {"text/plain", false},
      {"*/*", false},
      {"application/*", false},
      {"application/jsonx", false},
      {"application/problem+json", false},
      {"application", false},
      {"", false},
      {"application/json\xC3\xA9", false},
      {"application /json", false},
  };
  for (const auto& c : cases) {
    std::vector<http::HeaderView> headers;
    if (c.value)
      headers.push_back({"Content-Type", *c.value});
    EXPECT_EQ(content_type_is_json(with_headers(headers)), c.accepted) << c.value.value_or("-");
  }
}

TEST(PingQuery, TakesExactlyOneCoreSha256) {
  struct Case {
    std::string_view target;
    std::optional<std::string> digest;
  };
  const Case cases[] = {
      {"/ping?coreSha256=abc", "abc"},
      {"/ping?coreSha256", ""},
      {"/ping?coreSha256=", ""},
      {"/ping?&&coreSha256=a&", "a"},
      {"/ping?core%53ha256=a%62c", "abc"},
      {"/ping?coreSha256=a+b%20c", "a b c"},
      {"/ping?coreSha256=a=b", "a=b"},
      {"/ping?coreSha256=%zz%4", "%zz%4"},
      {"/ping?coreSha256=%FF", "\xEF\xBF\xBD"},
      {"/ping", std::nullopt},
      {"/ping?", std::nullopt},
      {"/ping?coreSha256=A&coreSha256=A", std::nullopt},
      {"/ping?coreSha256=a&x=1", std::nullopt},
      {"/ping?CoreSha256=a", std::nullopt},
      {"/ping?coreSha256%3Da", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto params = read_ping_query(c.target);
    ASSERT_EQ(params.has_value(), c.digest.has_value()) << c.target;
    if (params) {
      EXPECT_EQ(params->coreSha256, *c.digest) << c.target;
    }
  }
}

TEST(JsonRecords, DecodeOnlyStrictFlatRecords) {
  const std::string id = "0123456789abcdef0123456789abcdef";
  struct Case {
    std::string body;
    bool start_ok;
    bool stop_ok;
  };
  const Case cases[] = {
      {R"({"address":"/tmp/a","sessionId":"s"})", true, false},
      {R"( {"sessionId":"s","address":"/tmp/a"} )"
       "\r\n\t",
       true, false},
      {R"(["/tmp/a","s"])", true, false},
      {R"({"sessionId":"s"})", false, true},
      {R"(["s"])", false, true},
      {R"({"sessionId":"\u00e9\ud83d\ude00\n\"\\\/"})", false, true},
      {R"({"sessionId":"s","sessionId":"s"})", false, false},
      {R"({"sessionId":"s","extra":"x"})", false, false},
      {R"({"sessionId":null})", false, false},
      {R"({"sessionId":1})", false, false},
      {R"({"sessionId":true})", false, false},
      {R"({"sessionId":["s"]})", false, false},
      {R"({"sessionId":{"a":"b"}})", false, false},
      {R"({})", false, false},
      {R"([])", false, false},
      {R"(["s","t","u"])", false, false},
      {R"([["s"]])", false, false},
      {R"("s")", false, false},
      {R"({"sessionId":"s"} x)", false, false},
      {R"({"sessionId":"s"}{})", false, false},
      {std::string(R"({"sessionId":"s"})") + '\0' + "junk", false, false},
      {R"({"sessionId":"\ud800"})", false, false},
      {"{\"sessionId\":\"\xFF\"}", false, false},
      {"{\"sessionId\":\"a\tb\"}", false, false},
      {R"({"sessionId":"s",})", false, false},
      {"", false, false},
      {"   ", false, false},
      {"\xEF\xBB\xBF{\"sessionId\":\"s\"}", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_start_params(c.body).has_value(), c.start_ok) << c.body;
    EXPECT_EQ(decode_stop_params(c.body).has_value(), c.stop_ok) << c.body;
  }
  const auto start = decode_start_params(R"(["/tmp/KorvaneVeskSocket_1.sock",")" + id + "\"]");
  ASSERT_TRUE(start);
  EXPECT_EQ(start->address, "/tmp/KorvaneVeskSocket_1.sock");
  EXPECT_EQ(start->sessionId, id);
  const auto escaped = decode_stop_params(R"({"sessionId":"\u00e9\n"})");
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->sessionId, "\xC3\xA9\n");
}

}  // namespace
}  // namespace service::hub
