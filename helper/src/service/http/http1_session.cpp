#include "service/http/http1_session.hpp"

#include "service/http/blocking_call.hpp"
#include "service/http/outgoing_reply.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <string_view>

namespace service::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace h1 = boost::beast::http;

namespace {

// What an idle connection keeps to read its next request into; a longer one
// is read on as usual.
constexpr std::size_t kIdleRead = 512;

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

// What the parser cannot read at all, or will not hold, is answered with an
// empty reply and the connection closes.
Response framing_refusal(unsigned status) {
  Response response;
  response.status = status;
  response.set_header("connection", "close");
  return response;
}

bool is_parse_error(const boost::system::error_code& failure) {
  return &failure.category() == &h1::make_error_code(h1::error::need_more).category() &&
         failure != h1::error::end_of_stream && failure != h1::error::partial_message;
}

// Body bytes nobody asked for land here and are forgotten.
asio::mutable_buffer scratch() {
  static thread_local std::array<char, 4096> bytes;
  return asio::buffer(bytes);
}

}  // namespace

Http1Session::Http1Session(Socket socket, SessionContext context, Tracker::Slot slot,
                           beast::flat_buffer received)
    : socket_(std::move(socket)),
      context_(std::move(context)),
      slot_(std::move(slot)),
      buffer_(std::move(received)) {}

void Http1Session::start() {
  if (slot_.serve_by(weak_from_this()))
    shut_down();
  if (shutting_down_)
    return;
  if (buffer_.size() > 0) {
    serve();
  } else {
    wait_for_request();
  }
}

void Http1Session::shut_down() {
  shutting_down_ = true;
  if (idle_)
    close();
}

void Http1Session::close() {
  boost::system::error_code ignored;
  socket_.shutdown(Socket::shutdown_both, ignored);
  socket_.close(ignored);
}

// A read, not a readiness wait: Asio tries it at once and then waits
// without re-arming the descriptor.
void Http1Session::wait_for_request() {
  idle_ = true;
  if (buffer_.capacity() > kIdleRead)
    buffer_.shrink_to_fit();
  socket_.async_read_some(
      buffer_.prepare(kIdleRead),
      [self = shared_from_this()](boost::system::error_code failure, std::size_t count) {
        if (failure || count == 0 || self->shutting_down_) {
          self->close();
          return;
        }
        self->buffer_.commit(count);
        self->serve();
      });
}

void Http1Session::serve() {
  asio::co_spawn(socket_.get_executor(), serve_while_busy(),
                 [self = shared_from_this()](std::exception_ptr failure) {
                   if (failure)
                     self->close();
                 });
}

Awaitable<void> Http1Session::serve_while_busy() {
  for (;;) {
    // GCC 12 miscompiles co_await inside || and &&: one await per statement.
    const bool kept = co_await serve_one();
    // The request's fields are not kept while the connection waits.
    parser_.reset();
    idle_ = true;
    if (!kept || shutting_down_) {
      close();
      co_return;
    }
    if (buffer_.size() == 0)
      break;
  }
  wait_for_request();
}

Awaitable<bool> Http1Session::serve_one() {
  parser_ = std::make_unique<HeadParser>();
  // The route filter decides about body sizes, also for large declared ones.
  parser_->body_limit(boost::none);
  parser_->header_limit(MAX_HEADER_BYTES);
  auto [failure, count] = co_await h1::async_read_header(socket_, buffer_, *parser_);
  idle_ = false;
  if (failure) {
    if (failure == h1::error::header_limit) {
      co_await send(framing_refusal(431), false, true);
    } else if (is_parse_error(failure)) {
      co_await send(framing_refusal(400), false, true);
    }
    co_return false;
  }
  auto& request = parser_->get();
  head_.method = request.method_string();
  head_.target = request.target();
  head_.headers.clear();
  for (const auto& field : request)
    head_.headers.push_back({field.name_string(), field.value()});
  if (!framing_is_trustworthy(head_)) {
    co_await send(framing_refusal(400), false, true);
    co_return false;
  }
  const bool keep_alive = request.keep_alive();
  const auto expect = head_.first("expect");
  const bool expects_continue =
      request.version() == 11 && expect && equals_ignoring_ascii_case(*expect, "100-continue");
  const bool head_request = head_.method == "HEAD";
  const bool has_body = parser_->chunked() || parser_->content_length().value_or(0) > 0;

  bool body_pending = has_body;
  bool framing_lost = false;
  HeadVerdict verdict = context_.handler.on_head(head_);
  Answer answer;
  if (auto* read = std::get_if<ReadBody>(&verdict)) {
    std::optional<std::string> body;
    if (!has_body) {
      body.emplace();
    } else {
      // A client that waits for leave to send its body gets it now.
      if (expects_continue) {
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        auto [refused, written] = co_await asio::async_write(socket_, asio::buffer(kContinue));
        if (refused)
          co_return false;
      }
      body = co_await read_body(read->length);
      body_pending = false;
      framing_lost = !body;
    }
    answer = read->then(std::move(body));
  } else if (auto* response = std::get_if<Response>(&verdict)) {
    answer = std::move(*response);
  } else {
    answer = std::move(std::get<BlockingWork>(verdict));
  }

  Response response;
  if (auto* ready = std::get_if<Response>(&answer)) {
    response = std::move(*ready);
  } else {
    response =
        co_await async_run_blocking(context_.pool, std::move(std::get<BlockingWork>(answer)),
                                    context_.drain->hold(), asio::use_awaitable_t<Executor>());
  }

  // A client told no before it sent its body may send that body or not: the
  // connection cannot be trusted to be in step after that.
  const bool must_close =
      !keep_alive || shutting_down_ || framing_lost || (body_pending && expects_continue);
  const bool sent = co_await send(std::move(response), head_request, must_close);
  if (!sent)
    co_return false;
  if (body_pending) {
    // Between requests again: a stop closes the connection rather than wait
    // for a body that may never come.
    idle_ = true;
    if (shutting_down_)
      co_return false;
    const bool discarded = co_await discard_body();
    co_return discarded;
  }
  co_return true;
}

Awaitable<std::optional<std::string>> Http1Session::read_body(std::size_t length) {
  h1::request_parser<h1::string_body> parser(std::move(*parser_));
  parser.body_limit(length);
  auto [failure, count] = co_await h1::async_read(socket_, buffer_, parser);
  if (failure)
    co_return std::nullopt;
  co_return std::move(parser.get().body());
}

// Body bytes are never parsed as a request: they are read and dropped.
Awaitable<bool> Http1Session::discard_body() {
  h1::request_parser<h1::buffer_body> parser(std::move(*parser_));
  parser.body_limit(MAX_DISCARDED_BODY);
  while (!parser.is_done()) {
    const auto room = scratch();
    parser.get().body().data = room.data();
    parser.get().body().size = room.size();
    auto [failure, count] = co_await h1::async_read(socket_, buffer_, parser);
    if (failure && failure != h1::error::need_buffer)
      co_return false;
  }
  co_return true;
}

Awaitable<bool> Http1Session::send(Response response, bool head_request, bool must_close) {
  OutgoingReply reply = prepare_reply(std::move(response), head_request, must_close);
  reply_head_.clear();
  reply_head_ += "HTTP/1.1 ";
  reply_head_ += std::to_string(reply.status);
  reply_head_ += ' ';
  reply_head_ += h1::obsolete_reason(h1::int_to_status(reply.status));
  reply_head_ += "\r\n";
  for (const auto& header : reply.headers) {
    reply_head_ += header.name;
    reply_head_ += ": ";
    reply_head_ += header.value;
    reply_head_ += "\r\n";
  }
  reply_head_ += "\r\n";
  const std::array<asio::const_buffer, 2> pieces{asio::buffer(reply_head_),
                                                 asio::buffer(reply.body)};
  auto [failure, written] = co_await asio::async_write(socket_, pieces);
  if (failure || reply.close_after) {
    close();
    co_return false;
  }
  co_return true;
}

}  // namespace service::http
