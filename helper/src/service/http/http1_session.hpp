#pragma once

#include "service/http/session_context.hpp"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include <optional>
#include <string>

namespace service::http {

// One HTTP/1.1 connection with keep-alive: read a head, let the handler
// judge it, read or drop the body, answer, and go on while the connection
// may be kept. It runs on its socket's loop only.
class Http1Session {
 public:
  // `received` holds the bytes already read.
  Http1Session(Socket& socket, SessionContext context, boost::beast::flat_buffer received);

  // Serves until the connection ends.
  Awaitable<void> run();
  // An idle connection closes at once, a busy one after its reply.
  void shut_down();

 private:
  using HeadParser = boost::beast::http::request_parser<boost::beast::http::empty_body>;

  // False once the connection has ended: closed, or nothing more to read.
  Awaitable<bool> wait_for_bytes();
  Awaitable<bool> serve_one();
  Awaitable<std::optional<std::string>> read_body(std::size_t length);
  Awaitable<bool> discard_body();
  // Sends one reply; false when the connection is gone or has been closed after it.
  Awaitable<bool> send(Response response, bool head_request, bool must_close);
  void close();

  Socket& socket_;
  SessionContext context_;
  boost::beast::flat_buffer buffer_;
  std::optional<HeadParser> parser_;
  RequestHead head_;
  std::string reply_head_;
  bool idle_ = true;
  bool shutting_down_ = false;
};

}  // namespace service::http
