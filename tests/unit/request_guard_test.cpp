#include "service/hub/request_guard.hpp"

#include <gtest/gtest.h>

namespace service::hub {
namespace {

std::optional<RefusalKind> guard(std::vector<http::HeaderView> headers) {
  http::RequestHead head;
  head.method = "GET";
  head.target = "/logs";
  head.headers = std::move(headers);
  return check_request_guard(head);
}

TEST(RequestGuard, HostValues) {
  const std::optional<RefusalKind> pass;
  const auto forbidden = RefusalKind::ForbiddenClient;
  struct Case {
    std::string host;
    std::optional<RefusalKind> outcome;
  };
  const Case cases[] = {
      {"localhost", pass},
      {"LOCALHOST", pass},
      {"localhost:1234", pass},
      {"localhost:", pass},
      {"localhost:abc", pass},
      {"127.0.0.1:80", pass},
      {"KorvaneVeskHelperService", pass},
      {"korvaneveskhelperservice", pass},
      {"user@localhost", pass},
      {"us:er@localhost:1", pass},
      {"a@b@localhost", pass},
      {"[x]@localhost", pass},
      {"localhost.", forbidden},
      {"127.0.0.2", forbidden},
      {"[::1]", forbidden},
      {"[::1]:80", forbidden},
      {"example.com", forbidden},
      {"localhost:1:2", forbidden},
      {"localhost/x", forbidden},
      {"localhost?x", forbidden},
      {"localhost#x", forbidden},
      {"", forbidden},
      {"localhost@", forbidden},
      {"local%68ost", forbidden},
      {"%@localhost", pass},
      {"[localhost", forbidden},
      {"localhost]", forbidden},
      {"[a][b]", forbidden},
      {"%[::1]", forbidden},
      {"local host", forbidden},
      {"localhost\t", forbidden},
      {"\"localhost\"", forbidden},
      {"loc\\alhost", forbidden},
      {"localhost\x7F", RefusalKind::InvalidHeader},
      {"localh\xC3\xB6st", RefusalKind::InvalidHeader},
      {std::string("local\0host", 10), RefusalKind::InvalidHeader},
  };
  for (const auto& c : cases)
    EXPECT_EQ(guard({{"Host", c.host}}), c.outcome) << c.host;
}

TEST(RequestGuard, OnlyTheFirstOfEachHeaderCounts) {
  EXPECT_EQ(guard({{"Host", "localhost"}, {"host", "example.com"}}), std::nullopt);
  EXPECT_EQ(guard({{"host", "example.com"}, {"Host", "localhost"}}), RefusalKind::ForbiddenClient);
  EXPECT_EQ(guard({{"Origin", "null"}, {"origin", "\xFF"}}), RefusalKind::ForbiddenClient);
  EXPECT_EQ(guard({}), std::nullopt);
}

TEST(RequestGuard, AnyOriginIsRefusedButUnreadableHeadersComeFirst) {
  struct Case {
    std::vector<http::HeaderView> headers;
    std::optional<RefusalKind> outcome;
  };
  const Case cases[] = {
      {{{"Origin", "null"}}, RefusalKind::ForbiddenClient},
      {{{"Origin", ""}}, RefusalKind::ForbiddenClient},
      {{{"Origin", "http://localhost"}, {"Host", "localhost"}}, RefusalKind::ForbiddenClient},
      {{{"Origin", "http://\xC3\xA9"}}, RefusalKind::InvalidHeader},
      {{{"Origin", "http://x"}, {"Host", "\xC3\xA9"}}, RefusalKind::InvalidHeader},
      {{{"Origin", "a\tb"}}, RefusalKind::ForbiddenClient},
  };
  for (const auto& c : cases)
    EXPECT_EQ(guard(c.headers), c.outcome);
}

}  // namespace
}  // namespace service::hub
