#pragma once

#include "service/http/message.hpp"
#include "service/runtime/blocking_pool.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct nghttp2_session;

namespace service::http {

using Socket = boost::asio::local::stream_protocol::socket;

// One cleartext HTTP/2 connection. nghttp2 is only the state machine: this
// class owns the socket and does the I/O, all on the socket's strand.
class Http2Session : public std::enable_shared_from_this<Http2Session> {
 public:
  Http2Session(Socket socket, std::shared_ptr<const RequestHandler> handler,
               runtime::BlockingPool& pool);
  ~Http2Session();
  Http2Session(const Http2Session&) = delete;
  Http2Session& operator=(const Http2Session&) = delete;

  // Serves until the session is done; `preface` holds the bytes already read.
  boost::asio::awaitable<void> run(std::string preface);
  // On the strand: GOAWAY, take no new streams, close once the open ones are done.
  void shut_down();

  struct Stream;

 private:
  friend struct Http2Callbacks;

  void on_request_head(std::int32_t stream_id);
  void on_request_end(std::int32_t stream_id);
  void answer(std::int32_t stream_id, Answer answer);
  void respond(std::int32_t stream_id, Response response);
  void flush();
  boost::asio::awaitable<void> write_pending();
  bool finished() const;

  Socket socket_;
  std::shared_ptr<const RequestHandler> handler_;
  runtime::BlockingPool& pool_;
  nghttp2_session* session_ = nullptr;
  std::map<std::int32_t, std::unique_ptr<Stream>> streams_;
  bool writing_ = false;
  bool closed_ = false;
};

}  // namespace service::http
