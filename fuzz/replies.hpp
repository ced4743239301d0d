#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzzing {

struct Reply {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;

  std::optional<std::string> header(std::string_view name) const;
};

// What the helper wrote on an HTTP/1.1 connection, read back reply by
// reply. Interim 1xx replies are kept apart; a reply to HEAD has no body,
// as `head_requests` says in order. Empty when the bytes are not a
// sequence of well-formed replies with a Content-Length each.
struct Http1Replies {
  std::vector<Reply> finals;
  std::size_t interim = 0;
  bool ends_after_close = true;  // no byte follows a "connection: close" reply
};
std::optional<Http1Replies> read_http1_replies(std::string_view output,
                                               const std::vector<bool>& head_requests);

// What the helper wrote on an HTTP/2 connection: its SETTINGS first, then
// frames that parse, whose header blocks decode, at most one reply head per
// stream, DATA only after it and adding up to its Content-Length, and no
// reply to a stream above a GOAWAY's last stream. Empty otherwise.
struct Http2Replies {
  std::map<std::uint32_t, Reply> replies;  // complete replies by stream
  std::vector<std::uint32_t> reset;        // streams reset by the helper
  bool goaway = false;
};
std::optional<Http2Replies> read_http2_replies(std::string_view output);

}  // namespace fuzzing
