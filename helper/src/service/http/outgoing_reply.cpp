#include "service/http/outgoing_reply.hpp"

namespace service::http {

OutgoingReply prepare_reply(Response response, bool head_request, bool must_close) {
  OutgoingReply reply;
  reply.status = response.status;
  const bool asks_to_close = response.closes_connection();
  reply.close_after = must_close || asks_to_close;
  reply.headers = std::move(response.headers);
  reply.headers.reserve(reply.headers.size() + 2);
  if (reply.close_after && !asks_to_close)
    reply.headers.push_back({"connection", "close"});
  reply.headers.push_back({"content-length", std::to_string(response.body.size())});
  if (!head_request)
    reply.body = std::move(response.body);
  return reply;
}

bool is_connection_specific(std::string_view name) {
  return name == "connection" || name == "keep-alive" || name == "proxy-connection" ||
         name == "transfer-encoding" || name == "upgrade";
}

}  // namespace service::http
