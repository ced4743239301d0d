#pragma once

#include "service/http/session_context.hpp"
#include "service/http/tracker.hpp"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include <memory>
#include <optional>
#include <string>

namespace service::http {

// One HTTP/1.1 connection with keep-alive: read a head, let the handler
// judge it, read or drop the body, answer, and go on while the connection
// may be kept. A coroutine runs only while requests are being served; an
// idle connection waits with a plain callback and holds no buffer. It runs
// on its socket's loop only.
class Http1Session : public Endpoint, public std::enable_shared_from_this<Http1Session> {
 public:
  // `received` holds the bytes already read.
  Http1Session(Socket socket, SessionContext context, Tracker::Slot slot,
               boost::beast::flat_buffer received);

  void start();
  // An idle connection closes at once, a busy one after its reply.
  void shut_down() override;

 private:
  using HeadParser = boost::beast::http::request_parser<boost::beast::http::empty_body>;

  void wait_for_request();
  void serve();
  Awaitable<void> serve_while_busy();
  // False once the connection has ended or must end.
  Awaitable<bool> serve_one();
  Awaitable<std::optional<std::string>> read_body(std::size_t length);
  Awaitable<bool> discard_body();
  // Sends one reply; false when the connection is gone or has been closed after it.
  Awaitable<bool> send(Response response, bool head_request, bool must_close);
  void close();

  Socket socket_;
  SessionContext context_;
  Tracker::Slot slot_;
  boost::beast::flat_buffer buffer_;
  // Only while a request is being read and answered.
  std::unique_ptr<HeadParser> parser_;
  RequestHead head_;
  std::string reply_head_;
  bool idle_ = true;
  bool shutting_down_ = false;
};

}  // namespace service::http
