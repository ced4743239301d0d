#include "service/http/http2_session.hpp"

#include "service/http/blocking_call.hpp"

#include <nghttp2/nghttp2.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

namespace service::http {

namespace asio = boost::asio;

struct Http2Session::Stream {
  RequestHead head;
  std::string method;
  std::string path;
  bool has_scheme = false;
  bool saw_regular_header = false;
  bool malformed = false;

  bool reading_body = false;
  ReadBody reading;
  std::string body;
  bool body_overflow = false;

  std::string response_body;
  std::size_t response_sent = 0;
};

namespace {

bool is_connection_specific(std::string_view name) {
  return name == "connection" || name == "keep-alive" || name == "proxy-connection" ||
         name == "transfer-encoding" || name == "upgrade";
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c + 32);
  }
  return text;
}

}  // namespace

// The nghttp2 callbacks; `user_data` is the session.
struct Http2Callbacks {
  static Http2Session& self(void* user_data) { return *static_cast<Http2Session*>(user_data); }

  static Http2Session::Stream* stream(Http2Session& session, std::int32_t id) {
    auto found = session.streams_.find(id);
    return found == session.streams_.end() ? nullptr : found->second.get();
  }

  static int on_begin_headers(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
      self(user_data).streams_[frame->hd.stream_id] = std::make_unique<Http2Session::Stream>();
    }
    return 0;
  }

  static int on_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                       std::size_t name_length, const std::uint8_t* value, std::size_t value_length,
                       std::uint8_t, void* user_data) {
    if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) {
      return 0;  // trailers are not looked at
    }
    auto* request = stream(self(user_data), frame->hd.stream_id);
    if (request == nullptr)
      return 0;
    const std::string_view key(reinterpret_cast<const char*>(name), name_length);
    std::string text(reinterpret_cast<const char*>(value), value_length);
    if (!key.empty() && key.front() == ':') {
      // Pseudo-headers come first, once each, and only the request's own.
      if (request->saw_regular_header)
        request->malformed = true;
      if (key == ":method" && request->method.empty()) {
        request->method = std::move(text);
      } else if (key == ":path" && request->path.empty()) {
        request->path = std::move(text);
      } else if (key == ":scheme" && !request->has_scheme) {
        request->has_scheme = true;
      } else if (key != ":authority") {
        request->malformed = true;
      }
      return 0;
    }
    request->saw_regular_header = true;
    if (lower(std::string(key)) != key || is_connection_specific(key))
      request->malformed = true;
    request->head.headers.push_back({std::string(key), std::move(text)});
    return 0;
  }

  static int on_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    auto& session = self(user_data);
    const bool ends_stream = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
    switch (frame->hd.type) {
      case NGHTTP2_HEADERS:
        if (frame->headers.cat == NGHTTP2_HCAT_REQUEST)
          session.on_request_head(frame->hd.stream_id);
        if (ends_stream)
          session.on_request_end(frame->hd.stream_id);
        break;
      case NGHTTP2_DATA:
        if (ends_stream)
          session.on_request_end(frame->hd.stream_id);
        break;
      default:
        break;
    }
    return 0;
  }

  static int on_data_chunk(nghttp2_session*, std::uint8_t, std::int32_t stream_id,
                           const std::uint8_t* data, std::size_t length, void* user_data) {
    auto* request = stream(self(user_data), stream_id);
    if (request == nullptr || !request->reading_body)
      return 0;  // unwanted bodies are dropped
    if (request->body.size() + length > request->reading.length) {
      request->body_overflow = true;
    } else {
      request->body.append(reinterpret_cast<const char*>(data), length);
    }
    return 0;
  }

  static int on_stream_close(nghttp2_session*, std::int32_t stream_id, std::uint32_t,
                             void* user_data) {
    self(user_data).streams_.erase(stream_id);
    return 0;
  }

  static ssize_t read_body(nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t length,
                           std::uint32_t* data_flags, nghttp2_data_source* source, void*) {
    auto* response = static_cast<Http2Session::Stream*>(source->ptr);
    const std::size_t left = response->response_body.size() - response->response_sent;
    const std::size_t count = std::min(left, length);
    std::memcpy(buffer, response->response_body.data() + response->response_sent, count);
    response->response_sent += count;
    if (response->response_sent == response->response_body.size()) {
      *data_flags |= NGHTTP2_DATA_FLAG_EOF;
    }
    return static_cast<ssize_t>(count);
  }
};

Http2Session::Http2Session(Socket socket, std::shared_ptr<const RequestHandler> handler,
                           runtime::BlockingPool& pool)
    : socket_(std::move(socket)), handler_(std::move(handler)), pool_(pool) {
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_option* option = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0)
    throw std::bad_alloc();
  if (nghttp2_option_new(&option) != 0) {
    nghttp2_session_callbacks_del(callbacks);
    throw std::bad_alloc();
  }
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks,
                                                          &Http2Callbacks::on_begin_headers);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, &Http2Callbacks::on_header);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Http2Callbacks::on_frame_recv);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks,
                                                            &Http2Callbacks::on_data_chunk);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks,
                                                         &Http2Callbacks::on_stream_close);
  // The route filter decides about Host, Content-Length and the like; what
  // HTTP/2 itself requires of a request is checked here.
  nghttp2_option_set_no_http_messaging(option, 1);
  const int created = nghttp2_session_server_new2(&session_, callbacks, this, option);
  nghttp2_option_del(option);
  nghttp2_session_callbacks_del(callbacks);
  if (created != 0)
    throw std::bad_alloc();
  nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, nullptr, 0);
}

Http2Session::~Http2Session() {
  nghttp2_session_del(session_);
}

asio::awaitable<void> Http2Session::run(std::string preface) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(preface.data());
  if (nghttp2_session_mem_recv(session_, bytes, preface.size()) < 0)
    closed_ = true;
  std::array<std::uint8_t, 16384> buffer;
  while (!closed_) {
    flush();
    if (finished() && !writing_)
      break;
    auto [failure, count] =
        co_await socket_.async_read_some(asio::buffer(buffer), asio::as_tuple(asio::use_awaitable));
    if (failure)
      break;
    if (nghttp2_session_mem_recv(session_, buffer.data(), count) < 0) {
      // Let a GOAWAY that nghttp2 queued for the protocol error go out.
      if (!writing_)
        co_await write_pending();
      break;
    }
  }
  closed_ = true;
  boost::system::error_code ignored;
  socket_.shutdown(Socket::shutdown_both, ignored);
  socket_.close(ignored);
}

void Http2Session::shut_down() {
  if (closed_)
    return;
  nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE,
                        nghttp2_session_get_last_proc_stream_id(session_), NGHTTP2_NO_ERROR,
                        nullptr, 0);
  flush();
}

void Http2Session::on_request_head(std::int32_t stream_id) {
  auto* request = Http2Callbacks::stream(*this, stream_id);
  if (request == nullptr)
    return;
  if (request->malformed || request->method.empty() || request->path.empty() ||
      !request->has_scheme || request->method == "CONNECT") {
    nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, stream_id, NGHTTP2_PROTOCOL_ERROR);
    return;
  }
  request->head.method = request->method;
  request->head.target = request->path;
  HeadVerdict verdict = handler_->on_head(request->head);
  if (auto* read = std::get_if<ReadBody>(&verdict)) {
    request->reading_body = true;
    request->reading = std::move(*read);
    return;
  }
  if (auto* response = std::get_if<Response>(&verdict)) {
    answer(stream_id, std::move(*response));
  } else {
    answer(stream_id, std::move(std::get<BlockingWork>(verdict)));
  }
}

void Http2Session::on_request_end(std::int32_t stream_id) {
  auto* request = Http2Callbacks::stream(*this, stream_id);
  if (request == nullptr || !request->reading_body)
    return;
  request->reading_body = false;
  // DATA that adds up to anything but the declared Content-Length makes the
  // request malformed: it is reset, never decoded.
  if (request->body_overflow || request->body.size() != request->reading.length) {
    nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, stream_id, NGHTTP2_PROTOCOL_ERROR);
    return;
  }
  answer(stream_id, request->reading.then(std::move(request->body)));
}

void Http2Session::answer(std::int32_t stream_id, Answer answer) {
  if (auto* response = std::get_if<Response>(&answer)) {
    respond(stream_id, std::move(*response));
    return;
  }
  async_run_blocking(pool_, std::move(std::get<BlockingWork>(answer)),
                     asio::bind_executor(socket_.get_executor(),
                                         [self = shared_from_this(), stream_id](Response response) {
                                           self->respond(stream_id, std::move(response));
                                           self->flush();
                                         }));
}

void Http2Session::respond(std::int32_t stream_id, Response response) {
  if (closed_)
    return;
  auto* request = Http2Callbacks::stream(*this, stream_id);
  if (request == nullptr)
    return;  // the client reset the stream meanwhile
  const bool head_only = request->head.method == "HEAD";
  std::vector<std::pair<std::string, std::string>> fields;
  fields.emplace_back(":status", std::to_string(response.status));
  for (auto& header : response.headers) {
    std::string name = lower(header.name);
    // Connection management is HTTP/1.1's; HTTP/2 forbids these headers.
    if (is_connection_specific(name))
      continue;
    fields.emplace_back(std::move(name), std::move(header.value));
  }
  fields.emplace_back("content-length", std::to_string(response.body.size()));
  std::vector<nghttp2_nv> nva;
  for (auto& [name, value] : fields) {
    nva.push_back({reinterpret_cast<std::uint8_t*>(name.data()),
                   reinterpret_cast<std::uint8_t*>(value.data()), name.size(), value.size(),
                   NGHTTP2_NV_FLAG_NONE});
  }
  request->response_body = std::move(response.body);
  nghttp2_data_provider provider{};
  provider.source.ptr = request;
  provider.read_callback = &Http2Callbacks::read_body;
  const bool has_body = !head_only && !request->response_body.empty();
  nghttp2_submit_response(session_, stream_id, nva.data(), nva.size(),
                          has_body ? &provider : nullptr);
}

void Http2Session::flush() {
  if (writing_ || closed_)
    return;
  writing_ = true;
  asio::co_spawn(socket_.get_executor(), write_pending(),
                 [self = shared_from_this()](std::exception_ptr) {});
}

asio::awaitable<void> Http2Session::write_pending() {
  writing_ = true;
  std::string chunk;
  for (;;) {
    chunk.clear();
    // Gather what nghttp2 has queued; each piece is valid until the next call.
    while (chunk.size() < 65536) {
      const std::uint8_t* data = nullptr;
      const ssize_t length = nghttp2_session_mem_send(session_, &data);
      if (length < 0) {
        closed_ = true;
        break;
      }
      if (length == 0)
        break;
      chunk.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    }
    if (chunk.empty())
      break;
    auto [failure, written] = co_await asio::async_write(socket_, asio::buffer(chunk),
                                                         asio::as_tuple(asio::use_awaitable));
    if (failure) {
      closed_ = true;
      break;
    }
  }
  writing_ = false;
  if (closed_ || finished()) {
    // Done: closing the socket also ends the read loop.
    boost::system::error_code ignored;
    socket_.shutdown(Socket::shutdown_both, ignored);
    socket_.close(ignored);
    closed_ = true;
  }
}

bool Http2Session::finished() const {
  return nghttp2_session_want_read(session_) == 0 && nghttp2_session_want_write(session_) == 0;
}

}  // namespace service::http
