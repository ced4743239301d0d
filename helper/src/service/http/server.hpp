#pragma once

#include "service/http/message.hpp"
#include "service/http/tracker.hpp"
#include "service/runtime/blocking_pool.hpp"
#include "service/runtime/runtime.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include <memory>

namespace service::http {

// Serves admitted connections: HTTP/2 when a connection opens with the
// HTTP/2 preface, HTTP/1.1 with keep-alive otherwise. Each connection lives
// on the loop its socket was registered with; every request goes to the one
// handler.
class HttpServer {
 public:
  HttpServer(boost::asio::io_context& control, std::shared_ptr<const RequestHandler> handler,
             runtime::BlockingPool& pool);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  void serve(runtime::Socket socket);
  // Idle connections close at once, busy ones once their requests are answered.
  void begin_shutdown();
  // Completes on the control loop once every connection has closed and all
  // blocking work already started has finished.
  boost::asio::awaitable<void> wait_until_all_closed();

  struct Drained;

 private:
  std::shared_ptr<Tracker> tracker_;
  std::shared_ptr<Drained> drained_;
  std::shared_ptr<const RequestHandler> handler_;
  runtime::BlockingPool& pool_;
};

}  // namespace service::http
