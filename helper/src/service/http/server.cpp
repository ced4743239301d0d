#include "service/http/server.hpp"

#include "service/http/blocking_call.hpp"
#include "service/http/http2_session.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

namespace service::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace h1 = boost::beast::http;

namespace {

constexpr std::string_view kHttp2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
// A body nobody asked for is read and dropped up to this size; past it the
// connection closes instead.
constexpr std::size_t kDiscardLimit = 1024 * 1024;

// Framing that cannot be trusted is never guessed at: a Transfer-Encoding
// other than the single coding "chunked", or one beside a Content-Length.
bool framing_is_trustworthy(const RequestHead& head) {
  const auto codings = head.values("transfer-encoding");
  if (codings.empty())
    return true;
  if (codings.size() != 1 ||
      !equals_ignoring_ascii_case(trim_optional_whitespace(codings[0]), "chunked")) {
    return false;
  }
  return head.values("content-length").empty();
}

Response framing_refusal() {
  Response response;
  response.status = 400;
  response.set_header("connection", "close");
  return response;
}

}  // namespace

class Connection;

struct HttpServer::Tracker : std::enable_shared_from_this<HttpServer::Tracker> {
  explicit Tracker(asio::any_io_executor executor) : control(executor), all_closed(executor) {
    all_closed.expires_at(asio::steady_timer::time_point::max());
  }

  asio::any_io_executor control;
  asio::steady_timer all_closed;  // only touched on the control executor
  std::mutex mutex;
  std::map<std::uint64_t, std::weak_ptr<Connection>> live;
  std::uint64_t next_id = 0;
  bool shutting_down = false;

  void remove(std::uint64_t id);
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Socket socket, std::shared_ptr<HttpServer::Tracker> tracker,
             std::shared_ptr<const RequestHandler> handler, runtime::BlockingPool& pool,
             std::uint64_t id)
      : executor_(socket.get_executor()),
        socket_(std::move(socket)),
        tracker_(std::move(tracker)),
        handler_(std::move(handler)),
        pool_(pool),
        id_(id) {}

  void start() {
    asio::co_spawn(executor_, run(),
                   [self = shared_from_this()](std::exception_ptr) { self->finish(); });
  }

  void request_shutdown() {
    asio::post(executor_, [self = shared_from_this()] {
      self->shutting_down_ = true;
      if (self->http2_) {
        self->http2_->shut_down();
      } else if (self->idle_) {
        boost::system::error_code ignored;
        self->socket_.close(ignored);
      }
    });
  }

 private:
  void finish() {
    boost::system::error_code ignored;
    socket_.close(ignored);
    tracker_->remove(id_);
  }

  asio::awaitable<void> run() {
    // Sniff: the HTTP/2 preface, compared as it arrives; the first mismatch
    // means HTTP/1.1, which gets every byte read so far.
    std::string seen;
    char chunk[4096];
    while (seen.size() < kHttp2Preface.size()) {
      auto [failure, count] = co_await socket_.async_read_some(asio::buffer(chunk),
                                                               asio::as_tuple(asio::use_awaitable));
      if (failure)
        co_return;
      seen.append(chunk, count);
      const std::size_t compared = std::min(seen.size(), kHttp2Preface.size());
      if (std::string_view(seen).substr(0, compared) != kHttp2Preface.substr(0, compared))
        break;
    }
    if (seen.size() >= kHttp2Preface.size() && seen.starts_with(kHttp2Preface)) {
      http2_ = std::make_shared<Http2Session>(std::move(socket_), handler_, pool_);
      if (shutting_down_)
        http2_->shut_down();
      co_await http2_->run(std::move(seen));
      co_return;
    }
    beast::flat_buffer buffer;
    const auto room = buffer.prepare(seen.size());
    std::memcpy(room.data(), seen.data(), seen.size());
    buffer.commit(seen.size());
    co_await serve_http1(buffer);
  }

  asio::awaitable<void> serve_http1(beast::flat_buffer& buffer) {
    for (;;) {
      idle_ = true;
      if (shutting_down_)
        co_return;
      h1::request_parser<h1::empty_body> parser;
      auto [failure, count] = co_await h1::async_read_header(socket_, buffer, parser,
                                                             asio::as_tuple(asio::use_awaitable));
      idle_ = false;
      if (failure) {
        // What the parser cannot read at all gets 400; a clean end or a
        // broken socket just ends the connection.
        const bool unparsable =
            &failure.category() == &h1::make_error_code(h1::error::need_more).category() &&
            failure != h1::error::end_of_stream && failure != h1::error::partial_message;
        if (unparsable) {
          co_await write(framing_refusal(), false, true);
        }
        co_return;
      }
      auto& request = parser.get();
      RequestHead head;
      head.method = std::string(request.method_string());
      head.target = std::string(request.target());
      for (const auto& field : request) {
        head.headers.push_back({std::string(field.name_string()), std::string(field.value())});
      }
      if (!framing_is_trustworthy(head)) {
        co_await write(framing_refusal(), false, true);
        co_return;
      }
      const bool keep_alive = request.keep_alive();
      const auto expect = head.first("expect");
      const bool expects_continue =
          request.version() == 11 && expect && equals_ignoring_ascii_case(*expect, "100-continue");
      const bool head_only = head.method == "HEAD";
      const bool has_body = parser.chunked() || parser.content_length().value_or(0) > 0;

      bool body_pending = has_body;
      bool framing_lost = false;
      HeadVerdict verdict = handler_->on_head(head);
      Answer answer;
      if (auto* read = std::get_if<ReadBody>(&verdict)) {
        // A client that waits for leave to send its body gets it now.
        if (expects_continue) {
          static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
          auto [continue_failure, written] = co_await asio::async_write(
              socket_, asio::buffer(kContinue), asio::as_tuple(asio::use_awaitable));
          if (continue_failure)
            co_return;
        }
        h1::request_parser<h1::string_body> body_parser(std::move(parser));
        body_parser.body_limit(read->length);
        auto [read_failure, read_count] = co_await h1::async_read(
            socket_, buffer, body_parser, asio::as_tuple(asio::use_awaitable));
        body_pending = false;
        if (read_failure) {
          framing_lost = true;
          answer = read->then(std::nullopt);
        } else {
          answer = read->then(std::move(body_parser.get().body()));
        }
      } else if (auto* response = std::get_if<Response>(&verdict)) {
        answer = std::move(*response);
      } else {
        answer = std::move(std::get<BlockingWork>(verdict));
      }

      Response response;
      if (auto* ready = std::get_if<Response>(&answer)) {
        response = std::move(*ready);
      } else {
        response = co_await async_run_blocking(pool_, std::move(std::get<BlockingWork>(answer)),
                                               asio::use_awaitable);
      }

      // A client told no before it sent its body may send that body or not:
      // the connection cannot be trusted to be in step after that.
      const bool close = response.closes_connection() || !keep_alive || shutting_down_ ||
                         framing_lost || (body_pending && expects_continue);
      if (!co_await write(std::move(response), head_only, close))
        co_return;
      if (close)
        co_return;
      if (body_pending) {
        // Body bytes are never parsed as a request: read and drop them.
        h1::request_parser<h1::string_body> discard(std::move(parser));
        discard.body_limit(kDiscardLimit);
        auto [discard_failure, discarded] =
            co_await h1::async_read(socket_, buffer, discard, asio::as_tuple(asio::use_awaitable));
        if (discard_failure)
          co_return;
      }
    }
  }

  // Sends one reply; false when the connection is gone. With `close` the
  // connection is shut down after it.
  asio::awaitable<bool> write(Response response, bool head_only, bool close) {
    h1::response<h1::string_body> reply;
    reply.version(11);
    reply.result(response.status);
    for (const auto& header : response.headers)
      reply.insert(header.name, header.value);
    if (close && !response.closes_connection())
      reply.insert("connection", "close");
    reply.insert("content-length", std::to_string(response.body.size()));
    reply.body() = std::move(response.body);
    h1::response_serializer<h1::string_body> serializer(reply);
    boost::system::error_code failure;
    if (head_only) {
      std::tie(failure, std::ignore) =
          co_await h1::async_write_header(socket_, serializer, asio::as_tuple(asio::use_awaitable));
    } else {
      std::tie(failure, std::ignore) =
          co_await h1::async_write(socket_, serializer, asio::as_tuple(asio::use_awaitable));
    }
    if (failure || close) {
      boost::system::error_code ignored;
      socket_.shutdown(Socket::shutdown_both, ignored);
      socket_.close(ignored);
      co_return false;
    }
    co_return true;
  }

  asio::any_io_executor executor_;
  Socket socket_;
  std::shared_ptr<HttpServer::Tracker> tracker_;
  std::shared_ptr<const RequestHandler> handler_;
  runtime::BlockingPool& pool_;
  const std::uint64_t id_;
  std::shared_ptr<Http2Session> http2_;
  bool idle_ = true;
  bool shutting_down_ = false;
};

void HttpServer::Tracker::remove(std::uint64_t id) {
  std::lock_guard lock(mutex);
  live.erase(id);
  if (shutting_down && live.empty()) {
    asio::post(control, [self = shared_from_this()] { self->all_closed.cancel(); });
  }
}

HttpServer::HttpServer(asio::any_io_executor control, std::shared_ptr<const RequestHandler> handler,
                       runtime::BlockingPool& pool)
    : tracker_(std::make_shared<Tracker>(control)), handler_(std::move(handler)), pool_(pool) {}

HttpServer::~HttpServer() = default;

void HttpServer::serve(Socket socket) {
  std::shared_ptr<Connection> connection;
  bool shutting_down = false;
  {
    std::lock_guard lock(tracker_->mutex);
    const std::uint64_t id = tracker_->next_id++;
    connection = std::make_shared<Connection>(std::move(socket), tracker_, handler_, pool_, id);
    tracker_->live.emplace(id, connection);
    shutting_down = tracker_->shutting_down;
  }
  connection->start();
  if (shutting_down)
    connection->request_shutdown();
}

void HttpServer::begin_shutdown() {
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard lock(tracker_->mutex);
    tracker_->shutting_down = true;
    for (auto& [id, connection] : tracker_->live) {
      if (auto alive = connection.lock())
        open.push_back(std::move(alive));
    }
  }
  for (auto& connection : open)
    connection->request_shutdown();
}

asio::awaitable<void> HttpServer::wait_until_all_closed() {
  for (;;) {
    {
      std::lock_guard lock(tracker_->mutex);
      if (tracker_->live.empty())
        co_return;
    }
    co_await tracker_->all_closed.async_wait(asio::as_tuple(asio::use_awaitable));
  }
}

}  // namespace service::http
