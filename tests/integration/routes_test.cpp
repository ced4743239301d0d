#include "support/h2_client.hpp"
#include "support/helper_sandbox.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace testing_support {
namespace {

std::string json_reply(const std::string& status, const std::string& body,
                       const std::string& extra = "") {
  return "HTTP/1.1 " + status + "\r\ncontent-type: application/json\r\n" + extra +
         "content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kNotFound = R"({"code":"notFound","message":"Helper endpoint not found"})";
const std::string kForbidden =
    R"({"code":"invalidRequest","message":"browser origins and non-local hosts are not allowed"})";
const std::string kMethod =
    R"({"code":"invalidRequest","message":"Helper endpoint does not accept this method"})";

class Routes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { service_ = new HelperService(); }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }
  static HelperService* service_;
};
HelperService* Routes::service_ = nullptr;

TEST_F(Routes, RefusalsOverHttp1AreExactAndMostKeepTheConnection) {
  struct Case {
    std::string request;
    std::string response;
    bool closes;
  };
  const std::string host = "Host: localhost\r\n";
  const Case cases[] = {
      {"GET / HTTP/1.1\r\n" + host + "\r\n", json_reply("404 Not Found", kNotFound), false},
      {"GET /nothing HTTP/1.1\r\n\r\n", json_reply("404 Not Found", kNotFound), false},
      {"GET /logs HTTP/1.1\r\nOrigin: null\r\n\r\n",
       json_reply("403 Forbidden", kForbidden, "connection: close\r\n"), true},
      {"GET /nothing HTTP/1.1\r\nHost: localhost\r\nOrigin: http://x\r\n\r\n",
       json_reply("403 Forbidden", kForbidden, "connection: close\r\n"), true},
      {"GET /logs HTTP/1.1\r\nHost: [::1]\r\n\r\n",
       json_reply("403 Forbidden", kForbidden, "connection: close\r\n"), true},
      {"GET /logs HTTP/1.1\r\nOrigin: \xC3\xA9\r\n\r\n",
       json_reply("400 Bad Request",
                  R"({"code":"invalidRequest","message":"invalid request header"})"),
       false},
      {"POST /logs HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n",
       json_reply("405 Method Not Allowed", kMethod), false},
      {"DELETE /logs HTTP/1.1\r\n" + host + "\r\n", json_reply("405 Method Not Allowed", kMethod),
       false},
      {"GET /start HTTP/1.1\r\n" + host + "\r\n", json_reply("405 Method Not Allowed", kMethod),
       false},
      {"get /logs HTTP/1.1\r\n" + host + "\r\n", json_reply("405 Method Not Allowed", kMethod),
       false},
      {"HEAD /ping HTTP/1.1\r\n" + host + "\r\n",
       "HTTP/1.1 405 Method Not Allowed\r\ncontent-type: application/json\r\ncontent-length: "
       "81\r\n\r\n",
       false},
      {"GET /ping HTTP/1.1\r\n" + host + "\r\n",
       json_reply("400 Bad Request", R"({"code":"invalidRequest","message":"invalid ping query"})",
                  "x-korvane-helper-protocol: 6\r\n"),
       false},
      {"POST /stop HTTP/1.1\r\n" + host + "\r\n",
       json_reply("411 Length Required",
                  R"({"code":"invalidRequest","message":"request body length is required"})"),
       false},
      {"POST /stop HTTP/1.1\r\n" + host + "Content-Length: 5, 5\r\n\r\n{\"a\":",
       json_reply("411 Length Required",
                  R"({"code":"invalidRequest","message":"request body length is required"})"),
       false},
      {"POST /stop HTTP/1.1\r\n" + host + "Content-Length: 5000\r\n\r\n",
       json_reply("413 Payload Too Large",
                  R"({"code":"invalidRequest","message":"request body exceeds 4096 bytes"})",
                  "connection: close\r\n"),
       true},
      {"POST /start HTTP/1.1\r\n" + host +
           "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\n{}",
       json_reply("500 Internal Server Error",
                  R"({"code":"internalError","message":"unhandled Helper request rejection"})"),
       false},
      {"POST /stop HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n",
       json_reply("400 Bad Request",
                  R"({"code":"invalidRequest","message":"invalid JSON request body"})"),
       false},
      {"POST /stop/ HTTP/1.1\r\n" + host + "Content-Length: 22\r\n\r\n{\"sessionId\":\"ABCDEF\"}",
       json_reply("400 Bad Request",
                  R"({"code":"invalidRequest","message":"invalid Core session ID"})"),
       false},
      {"GET http://elsewhere/logs/?x=1 HTTP/1.1\r\n" + host + "Host: example.com\r\n\r\n",
       "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\ncache-control: "
       "no-store\r\ncontent-length: 0\r\n\r\n",
       false},
  };
  for (const auto& c : cases) {
    const int fd = connect_as(kOwnerUid, kOwnerGid);
    ASSERT_GE(fd, 0);
    send_all(fd, c.request);
    EXPECT_EQ(read_response(fd, c.request.starts_with("HEAD")), c.response) << c.request;
    send_all(fd, "GET /logs HTTP/1.1\r\n\r\n");
    const std::string next = read_response(fd);
    if (c.closes) {
      EXPECT_EQ(next, "") << c.request;
    } else {
      EXPECT_EQ(next.substr(0, 15), "HTTP/1.1 200 OK") << c.request;
    }
    ::close(fd);
  }
}

TEST_F(Routes, Http1Point0WithoutHostIsServedAndClosed) {
  const int fd = connect_as(kOwnerUid, kOwnerGid);
  send_all(fd, "GET /logs HTTP/1.0\r\n\r\n");
  EXPECT_EQ(read_to_end(fd),
            "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\ncache-control: "
            "no-store\r\nconnection: close\r\ncontent-length: 0\r\n\r\n");
  ::close(fd);
}

std::string h2_json(const std::string& status, const std::string& body,
                    const std::string& extra = "") {
  return "HTTP/2 " + status + " \r\ncontent-type: application/json\r\n" + extra +
         "content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST_F(Routes, RefusalsOverHttp2CarryNoConnectionHeader) {
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
  };
  const Case cases[] = {
      {{"-H", "Origin: null", "http://localhost/logs"}, h2_json("403", kForbidden)},
      {{"-X", "POST", "http://localhost/logs"}, h2_json("405", kMethod)},
      {{"-X", "POST", "-H", "content-length: 5000", "http://localhost/stop"},
       h2_json("413", R"({"code":"invalidRequest","message":"request body exceeds 4096 bytes"})")},
      {{"-X", "POST", "-H", "content-length: +0", "http://localhost/stop"},
       h2_json("400", R"({"code":"invalidRequest","message":"invalid JSON request body"})")},
      {{"-X", "POST", "-H", "content-length: 5", "-H", "content-length: 6",
        "http://localhost/stop"},
       h2_json("411", R"({"code":"invalidRequest","message":"request body length is required"})")},
      {{"http://localhost/ping?x=1"},
       h2_json("400", R"({"code":"invalidRequest","message":"invalid ping query"})",
               "x-korvane-helper-protocol: 6\r\n")},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments{"-i", "--http2-prior-knowledge"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(curl(arguments).out, c.out);
  }
}

TEST_F(Routes, Http2HeadersReachTheGuardAsSent) {
  const Fields logs = {{":method", "GET"}, {":scheme", "http"}, {":path", "/logs"}};
  struct Case {
    const char* what;
    Fields extra;
    int status;
  };
  const Case cases[] = {
      {"no host, no authority", {}, 200},
      {"an authority is not examined", {{":authority", "example.com"}}, 200},
      {"only the first host counts", {{"host", "localhost"}, {"host", "example.com"}}, 200},
      {"a foreign first host", {{"host", "example.com"}, {"host", "localhost"}}, 403},
      {"a host above 126", {{"host", "localh\xC3\xB6st"}}, 400},
  };
  for (const auto& c : cases) {
    Fields fields = logs;
    if (!c.extra.empty() && c.extra.front().first == ":authority") {
      fields.insert(fields.begin() + 2, c.extra.front());
    } else {
      fields.insert(fields.end(), c.extra.begin(), c.extra.end());
    }
    const int fd = connect_as(kOwnerUid, kOwnerGid);
    const H2Reply reply = h2_exchange(fd, fields);
    ::close(fd);
    EXPECT_EQ(reply.status, c.status) << c.what;
    for (const auto& [name, value] : reply.headers)
      EXPECT_NE(name, "connection") << c.what;
  }
}

TEST_F(Routes, Http2RequestsWithoutTheirPseudoHeadersAreReset) {
  const Fields cases[] = {
      {{":method", "GET"}, {":scheme", "http"}},
      {{":method", "GET"}, {":path", "/logs"}},
      {{":method", "GET"}, {":scheme", "http"}, {":path", "/logs"}, {":bogus", "x"}},
      {{":method", "GET"}, {":scheme", "http"}, {"host", "localhost"}, {":path", "/logs"}},
      {{":method", "GET"}, {":scheme", "http"}, {":path", "/logs"}, {"connection", "close"}},
  };
  for (const auto& fields : cases) {
    const int fd = connect_as(kOwnerUid, kOwnerGid);
    const H2Reply reply = h2_exchange(fd, fields);
    ::close(fd);
    EXPECT_TRUE(reply.reset) << fields.size();
    EXPECT_EQ(reply.status, 0);
  }
}

TEST_F(Routes, Http2BodiesThatDisagreeWithTheirLengthAreReset) {
  const std::string body = R"({"sessionId":"0123456789abcdef0123456789abcdef"})";
  const auto stop = [](std::size_t length) {
    return Fields{{":method", "POST"},
                  {":scheme", "http"},
                  {":path", "/stop"},
                  {"content-length", std::to_string(length)}};
  };
  struct Case {
    Fields fields;
    std::string body;
    int status;
  };
  const Case cases[] = {
      {stop(body.size()), body, 200},
      {stop(body.size() + 1), body, 0},
      {stop(body.size() - 1), body, 0},
      {stop(body.size()), "", 0},
  };
  for (const auto& c : cases) {
    const int fd = connect_as(kOwnerUid, kOwnerGid);
    const H2Reply reply = h2_exchange(fd, c.fields, c.body);
    ::close(fd);
    EXPECT_EQ(reply.status, c.status) << c.fields.back().second << " " << c.body.size();
    EXPECT_EQ(reply.reset, c.status == 0);
  }
}

}  // namespace
}  // namespace testing_support
