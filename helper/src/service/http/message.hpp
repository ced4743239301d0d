#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace service::http {

struct HeaderView {
  std::string_view name;
  std::string_view value;
};

// One request as either protocol carries it; routing never knows which. It
// views the session's own storage and is valid only while the handler
// judges the head.
struct RequestHead {
  std::string_view method;
  std::string_view target;          // path and query as received
  std::vector<HeaderView> headers;  // in arrival order, repeated names kept

  // Values of every header called `name` (compared without regard to case).
  std::vector<std::string_view> values(std::string_view name) const;
  // The first value of `name`, if any.
  std::optional<std::string_view> first(std::string_view name) const;
};

struct Header {
  std::string name;
  std::string value;
};

struct Response {
  unsigned status = 200;
  std::vector<Header> headers;  // lower-case names
  std::string body;

  // Sets a header, replacing one of the same name.
  void set_header(std::string name, std::string value);
  // True when the reply asks an HTTP/1.1 connection to close after it.
  bool closes_connection() const;
};

// A step of blocking work that must run alone: such steps run one at a
// time across the helper, in the order they were reached.
using ExclusiveStep = std::function<Response()>;

// Work for the blocking pool. `run` may finish with the reply or hand on to
// an exclusive step. If either fails (throws, or cannot be started),
// `on_failure` builds the reply from the failure's text.
struct BlockingWork {
  std::function<std::variant<Response, ExclusiveStep>()> run;
  std::function<Response(const std::string& error)> on_failure;
};

using Answer = std::variant<Response, BlockingWork>;

// Asks the server to read the body, which the request declared (and the
// route accepted) to be `length` bytes, and hand it over; an empty body
// argument means it could not be read.
struct ReadBody {
  std::size_t length = 0;
  std::function<Answer(std::optional<std::string> body)> then;
};

using HeadVerdict = std::variant<Response, BlockingWork, ReadBody>;

// The one request handler the server calls. It sees the head first and can
// answer before any body byte is read.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual HeadVerdict on_head(const RequestHead& head) const = 0;
};

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);

// A header value without the blanks and tabs around it.
std::string_view trim_optional_whitespace(std::string_view text);

}  // namespace service::http
