#pragma once

#include "service/http/message.hpp"

#include <string>
#include <vector>

namespace service::http {

// One reply as a session puts it on the wire; only the framing is left to
// the protocol.
struct OutgoingReply {
  unsigned status = 200;
  std::vector<Header> headers;  // the reply's own, then content-length
  std::string body;             // empty for a HEAD request
  bool close_after = false;     // HTTP/1.1 closes the connection after it
};

// The rules both protocols share. Content-Length is the body's length, also
// for HEAD, whose body is not sent. A reply that closes its connection
// (because it asks to, or the session must) says so in "connection: close".
OutgoingReply prepare_reply(Response response, bool head_request, bool must_close);

// Connection management is HTTP/1.1's; HTTP/2 forbids these header names.
bool is_connection_specific(std::string_view lower_case_name);

}  // namespace service::http
