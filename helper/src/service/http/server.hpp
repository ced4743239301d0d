#pragma once

#include "service/http/message.hpp"
#include "service/runtime/blocking_pool.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <memory>

namespace service::http {

using Socket = boost::asio::local::stream_protocol::socket;

// Serves admitted connections: HTTP/2 when a connection opens with the
// HTTP/2 preface, HTTP/1.1 with keep-alive otherwise. Each connection is one
// task on its own strand; every request goes to the one handler.
class HttpServer {
 public:
  HttpServer(boost::asio::any_io_executor control, std::shared_ptr<const RequestHandler> handler,
             runtime::BlockingPool& pool);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // `socket` must run on a strand of the worker threads.
  void serve(Socket socket);
  // Idle connections close at once, busy ones once their requests are answered.
  void begin_shutdown();
  // Completes on the control executor once every connection has closed.
  boost::asio::awaitable<void> wait_until_all_closed();

  struct Tracker;

 private:
  std::shared_ptr<Tracker> tracker_;
  std::shared_ptr<const RequestHandler> handler_;
  runtime::BlockingPool& pool_;
};

}  // namespace service::http
