#include "service/http/http2_session.hpp"

#include "service/http/blocking_call.hpp"
#include "service/http/outgoing_reply.hpp"

#include <nghttp2/nghttp2.h>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace service::http {

namespace asio = boost::asio;

namespace {

// What one pass of the write loop gathers from nghttp2 before writing it.
constexpr std::size_t kWriteChunk = 64 * 1024;

// Every session on a loop reads into this and hands the bytes to nghttp2 at
// once, so no connection holds a read buffer of its own.
std::array<std::uint8_t, 16384>& read_buffer() {
  static thread_local std::array<std::uint8_t, 16384> bytes;
  return bytes;
}

std::string& write_buffer() {
  static thread_local std::string bytes;
  return bytes;
}

struct CallbacksDeleter {
  void operator()(nghttp2_session_callbacks* callbacks) const {
    nghttp2_session_callbacks_del(callbacks);
  }
};
struct OptionDeleter {
  void operator()(nghttp2_option* option) const { nghttp2_option_del(option); }
};

}  // namespace

struct Http2Session::Stream {
  // Where a field lies in `fields`.
  struct Span {
    std::uint32_t name_at, name_length, value_at, value_length;
  };

  std::int32_t id = 0;
  std::list<Stream>::iterator self;

  // The request's fields as they arrive, in one block; viewed once complete.
  std::string fields;
  std::vector<Span> headers;
  std::optional<Span> method;
  std::optional<Span> path;
  bool has_scheme = false;
  bool saw_regular_header = false;
  bool malformed = false;
  std::size_t header_bytes = 0;
  bool too_large = false;
  bool head_request = false;

  bool reading_body = false;
  ReadBody reading;
  std::string body;
  bool body_overflow = false;

  std::string response_body;
  std::size_t response_sent = 0;

  std::string_view name(const Span& span) const {
    return std::string_view(fields).substr(span.name_at, span.name_length);
  }
  std::string_view value(const Span& span) const {
    return std::string_view(fields).substr(span.value_at, span.value_length);
  }
  Span store(std::string_view key, std::string_view text) {
    Span span{static_cast<std::uint32_t>(fields.size()), static_cast<std::uint32_t>(key.size()),
              static_cast<std::uint32_t>(fields.size() + key.size()),
              static_cast<std::uint32_t>(text.size())};
    fields.append(key);
    fields.append(text);
    return span;
  }
  void forget_fields() {
    std::string().swap(fields);
    std::vector<Span>().swap(headers);
  }
};

// The nghttp2 callbacks; `user_data` is the session.
struct Http2Callbacks {
  static Http2Session& self(void* user_data) { return *static_cast<Http2Session*>(user_data); }

  static Http2Session::Stream* stream(nghttp2_session* session, std::int32_t id) {
    return static_cast<Http2Session::Stream*>(nghttp2_session_get_stream_user_data(session, id));
  }

  static bool is_request(const nghttp2_frame* frame) {
    return frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST;
  }

  static int on_begin_headers(nghttp2_session* session, const nghttp2_frame* frame,
                              void* user_data) {
    if (!is_request(frame))
      return 0;
    auto& streams = self(user_data).streams_;
    auto& opened = streams.emplace_front();
    opened.self = streams.begin();
    opened.id = frame->hd.stream_id;
    nghttp2_session_set_stream_user_data(session, opened.id, &opened);
    return 0;
  }

  static int on_header(nghttp2_session* session, const nghttp2_frame* frame,
                       const std::uint8_t* name, std::size_t name_length, const std::uint8_t* value,
                       std::size_t value_length, std::uint8_t, void*) {
    if (!is_request(frame))
      return 0;  // trailers are not looked at, nor kept
    auto* request = stream(session, frame->hd.stream_id);
    if (request == nullptr || request->too_large)
      return 0;
    // Counted as SETTINGS_MAX_HEADER_LIST_SIZE counts: a one-byte reference
    // to a long table entry costs what the entry costs.
    request->header_bytes += name_length + value_length + 32;
    if (request->header_bytes > MAX_HEADER_BYTES) {
      request->too_large = true;
      request->forget_fields();
      return 0;
    }
    const std::string_view key(reinterpret_cast<const char*>(name), name_length);
    const std::string_view text(reinterpret_cast<const char*>(value), value_length);
    if (!key.empty() && key.front() == ':') {
      // Pseudo-headers come first, once each, and only the request's own.
      if (request->saw_regular_header)
        request->malformed = true;
      if (key == ":method" && !request->method) {
        request->method = request->store({}, text);
      } else if (key == ":path" && !request->path) {
        request->path = request->store({}, text);
      } else if (key == ":scheme" && !request->has_scheme) {
        request->has_scheme = true;
      } else if (key != ":authority") {
        request->malformed = true;
      }
      return 0;
    }
    request->saw_regular_header = true;
    const bool lower_case =
        std::none_of(key.begin(), key.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    if (!lower_case || is_connection_specific(key))
      request->malformed = true;
    request->headers.push_back(request->store(key, text));
    return 0;
  }

  static int on_frame_recv(nghttp2_session* session, const nghttp2_frame* frame, void* user_data) {
    auto* request = stream(session, frame->hd.stream_id);
    if (request == nullptr)
      return 0;
    const bool ends_stream = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
    if (is_request(frame))
      self(user_data).on_request_head(*request);
    if (ends_stream && (frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA)) {
      // The head may have been refused meanwhile, and the stream with it.
      if ((request = stream(session, frame->hd.stream_id)) != nullptr)
        self(user_data).on_request_end(*request);
    }
    return 0;
  }

  static int on_data_chunk(nghttp2_session* session, std::uint8_t, std::int32_t stream_id,
                           const std::uint8_t* data, std::size_t length, void*) {
    auto* request = stream(session, stream_id);
    if (request == nullptr || !request->reading_body)
      return 0;  // unwanted bodies are dropped
    if (request->body.size() + length > request->reading.length) {
      request->body_overflow = true;
    } else {
      request->body.append(reinterpret_cast<const char*>(data), length);
    }
    return 0;
  }

  static int on_stream_close(nghttp2_session* session, std::int32_t stream_id, std::uint32_t,
                             void* user_data) {
    auto* closed = stream(session, stream_id);
    if (closed == nullptr)
      return 0;
    auto& owner = self(user_data);
    owner.unsent_body_bytes_ -= closed->response_body.size() - closed->response_sent;
    nghttp2_session_set_stream_user_data(session, stream_id, nullptr);
    owner.streams_.erase(closed->self);
    return 0;
  }

  // nghttp2's memory. Blocks of a page or more are mapped on their own:
  // nghttp2 touches little of them (its stream table, its frame buffer), and
  // pages never touched cost nothing. The frame buffer's pages are also
  // given back while the session is idle.
  static constexpr std::size_t kMappedFrom = 4096;
  static constexpr std::size_t kFrameBufferFrom = 16 * 1024;

  static void* allocate(std::size_t size, void* user_data) {
    if (size < kMappedFrom)
      return std::malloc(size);
    void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
      return std::malloc(size);
    try {
      self(user_data).mapped_.push_back({block, size});
    } catch (const std::bad_alloc&) {
      ::munmap(block, size);
      return nullptr;
    }
    return block;
  }

  static Http2Session::MappedBlock* find_mapped(void* pointer, void* user_data) {
    for (auto& block : self(user_data).mapped_) {
      if (block.address == pointer)
        return &block;
    }
    return nullptr;
  }

  static void release(void* pointer, void* user_data) {
    auto& mapped = self(user_data).mapped_;
    if (auto* block = find_mapped(pointer, user_data)) {
      ::munmap(block->address, block->size);
      mapped.erase(mapped.begin() + (block - mapped.data()));
      return;
    }
    std::free(pointer);
  }

  static void* allocate_zeroed(std::size_t count, std::size_t size, void* user_data) {
    if (size != 0 && count > SIZE_MAX / size)
      return nullptr;
    if (count * size < kMappedFrom)
      return std::calloc(count, size);
    return allocate(count * size, user_data);  // a fresh mapping is zeroed
  }

  static void* reallocate(void* pointer, std::size_t size, void* user_data) {
    if (pointer == nullptr)
      return allocate(size, user_data);
    auto* block = find_mapped(pointer, user_data);
    if (block == nullptr)
      return std::realloc(pointer, size);
    const std::size_t kept = std::min(size, block->size);
    void* moved = allocate(size, user_data);
    if (moved == nullptr)
      return nullptr;
    std::memcpy(moved, pointer, kept);  // `block` may have moved meanwhile
    release(pointer, user_data);
    return moved;
  }

  static ssize_t read_body(nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t length,
                           std::uint32_t* data_flags, nghttp2_data_source* source,
                           void* user_data) {
    auto* response = static_cast<Http2Session::Stream*>(source->ptr);
    const std::size_t left = response->response_body.size() - response->response_sent;
    const std::size_t count = std::min(left, length);
    std::memcpy(buffer, response->response_body.data() + response->response_sent, count);
    response->response_sent += count;
    self(user_data).unsent_body_bytes_ -= count;
    if (response->response_sent == response->response_body.size()) {
      *data_flags |= NGHTTP2_DATA_FLAG_EOF;
    }
    return static_cast<ssize_t>(count);
  }
};

void Http2Session::SessionDeleter::operator()(nghttp2_session* session) const {
  nghttp2_session_del(session);
}

Http2Session::Http2Session(Socket socket, SessionContext context, Tracker::Slot slot)
    : socket_(std::move(socket)), context_(std::move(context)), slot_(std::move(slot)) {
  nghttp2_session_callbacks* made_callbacks = nullptr;
  if (nghttp2_session_callbacks_new(&made_callbacks) != 0)
    throw std::bad_alloc();
  std::unique_ptr<nghttp2_session_callbacks, CallbacksDeleter> callbacks(made_callbacks);
  nghttp2_option* made_option = nullptr;
  if (nghttp2_option_new(&made_option) != 0)
    throw std::bad_alloc();
  std::unique_ptr<nghttp2_option, OptionDeleter> option(made_option);

  auto* table = callbacks.get();
  nghttp2_session_callbacks_set_on_begin_headers_callback(table, &Http2Callbacks::on_begin_headers);
  nghttp2_session_callbacks_set_on_header_callback(table, &Http2Callbacks::on_header);
  nghttp2_session_callbacks_set_on_frame_recv_callback(table, &Http2Callbacks::on_frame_recv);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(table, &Http2Callbacks::on_data_chunk);
  nghttp2_session_callbacks_set_on_stream_close_callback(table, &Http2Callbacks::on_stream_close);
  // The route filter decides about Host, Content-Length and the like; what
  // HTTP/2 itself requires of a request is checked here.
  nghttp2_option_set_no_http_messaging(option.get(), 1);
  // Closed streams are kept only for the priority tree, which nobody uses:
  // kept, they would grow a long-lived connection with every request.
  nghttp2_option_set_no_closed_streams(option.get(), 1);
  // Replies are a few short fields: compressing them against a table of
  // their own would cost every connection the table and gain nothing here.
  nghttp2_option_set_max_deflate_dynamic_table_size(option.get(), 0);

  nghttp2_mem memory{this, &Http2Callbacks::allocate, &Http2Callbacks::release,
                     &Http2Callbacks::allocate_zeroed, &Http2Callbacks::reallocate};
  nghttp2_session* made_session = nullptr;
  if (nghttp2_session_server_new3(&made_session, table, this, option.get(), &memory) != 0)
    throw std::bad_alloc();
  session_.reset(made_session);
  const nghttp2_settings_entry settings[] = {
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, MAX_CONCURRENT_STREAMS},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, static_cast<std::uint32_t>(MAX_HEADER_BYTES)},
  };
  nghttp2_submit_settings(session_.get(), NGHTTP2_FLAG_NONE, settings, std::size(settings));
}

Http2Session::~Http2Session() = default;

void Http2Session::start(std::string_view received) {
  const bool stopping = slot_.serve_by(weak_from_this());
  feed(reinterpret_cast<const std::uint8_t*>(received.data()), received.size());
  if (stopping)
    shut_down();
  pump();
}

void Http2Session::shut_down() {
  if (closed_)
    return;
  nghttp2_submit_goaway(session_.get(), NGHTTP2_FLAG_NONE,
                        nghttp2_session_get_last_proc_stream_id(session_.get()), NGHTTP2_NO_ERROR,
                        nullptr, 0);
  pump();
}

void Http2Session::feed(const std::uint8_t* data, std::size_t length) {
  // On a protocol error nghttp2 may have queued a GOAWAY: it goes out, then
  // the connection ends.
  if (nghttp2_session_mem_recv(session_.get(), data, length) < 0)
    failed_ = true;
}

void Http2Session::pump() {
  flush();
  if (!failed_)
    read_available();
  if (closed_ || write_waiting_ || !pending_.empty())
    return;
  if (failed_ || (nghttp2_session_want_read(session_.get()) == 0 &&
                  nghttp2_session_want_write(session_.get()) == 0)) {
    close();
    return;
  }
  if (streams_.empty())
    release_idle_buffers();
}

void Http2Session::release_idle_buffers() {
  // Giving pages back costs a call and a fault on the next frame: a session
  // that keeps coming back does so at most once a second.
  if (!wrote_since_release_)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (now - released_at_ < std::chrono::seconds(1))
    return;
  released_at_ = now;
  wrote_since_release_ = false;
  // nghttp2 builds every frame afresh in its frame buffer: between frames
  // its content is not needed, and pages given back read as zero.
  for (const auto& block : mapped_) {
    if (block.size >= Http2Callbacks::kFrameBufferFrom)
      ::madvise(block.address, block.size, MADV_DONTNEED);
  }
}

void Http2Session::flush() {
  if (closed_ || write_waiting_)
    return;
  // What the socket did not take last time goes first.
  if (!pending_.empty()) {
    std::string left = std::move(pending_);
    pending_.clear();
    if (!write_out(left))
      return;
  }
  // Gathered in the loop's own buffer: a session keeps bytes of its own only
  // while its client does not take them.
  auto& gathered = write_buffer();
  for (;;) {
    gathered.clear();
    // Each piece is valid until the next call.
    while (gathered.size() < kWriteChunk) {
      const std::uint8_t* data = nullptr;
      const ssize_t length = nghttp2_session_mem_send(session_.get(), &data);
      if (length < 0) {
        failed_ = true;
        break;
      }
      if (length == 0)
        break;
      gathered.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    }
    if (gathered.empty())
      return;
    wrote_since_release_ = true;
    if (!write_out(gathered))
      return;
  }
}

bool Http2Session::write_out(std::string_view bytes) {
  while (!bytes.empty()) {
    boost::system::error_code failure;
    const std::size_t written = socket_.write_some(asio::buffer(bytes), failure);
    if (failure == asio::error::would_block) {
      // The client does not take what it is sent: wait, and read nothing
      // more from it meanwhile.
      pending_.assign(bytes);
      write_waiting_ = true;
      socket_.async_wait(Socket::wait_write,
                         [self = shared_from_this()](boost::system::error_code waited) {
                           self->write_waiting_ = false;
                           if (waited) {
                             self->close();
                             return;
                           }
                           self->pump();
                         });
      return false;
    }
    if (failure) {
      close();
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

void Http2Session::read_available() {
  while (!closed_ && !failed_ && !read_waiting_ && !write_waiting_ &&
         nghttp2_session_want_read(session_.get()) != 0) {
    if (!drain_socket_) {
      // A read, not a readiness wait: Asio tries it at once and then waits
      // without re-arming the descriptor. A small request fits whole.
      read_waiting_ = true;
      socket_.async_read_some(
          asio::buffer(first_read_),
          [self = shared_from_this()](boost::system::error_code failure, std::size_t count) {
            self->read_waiting_ = false;
            if (failure || self->closed_) {
              self->close();
              return;
            }
            self->feed(self->first_read_.data(), count);
            // Filled up: there may be more, read at once.
            self->drain_socket_ = count == self->first_read_.size();
            self->pump();
          });
      return;
    }
    auto& buffer = read_buffer();
    boost::system::error_code failure;
    const std::size_t count = socket_.read_some(asio::buffer(buffer), failure);
    if (failure == asio::error::would_block) {
      drain_socket_ = false;
      continue;
    }
    if (failure) {
      // The client has gone; what it asked for is not sent.
      close();
      return;
    }
    feed(buffer.data(), count);
    drain_socket_ = count == buffer.size();
    flush();
  }
}

void Http2Session::close() {
  if (closed_)
    return;
  closed_ = true;
  boost::system::error_code ignored;
  socket_.shutdown(Socket::shutdown_both, ignored);
  socket_.close(ignored);
}

void Http2Session::on_request_head(Stream& stream) {
  if (stream.too_large) {
    Response refusal;
    refusal.status = 431;
    respond(stream.id, std::move(refusal));
    return;
  }
  if (stream.malformed || !stream.method || !stream.path || !stream.has_scheme ||
      stream.value(*stream.method) == "CONNECT") {
    refuse(stream.id, NGHTTP2_PROTOCOL_ERROR);
    return;
  }
  // Replies pile up for a client that does not read them: it may ask again
  // once it has.
  if (unsent_body_bytes_ > MAX_UNSENT_BODY_BYTES) {
    refuse(stream.id, NGHTTP2_REFUSED_STREAM);
    return;
  }
  RequestHead head;
  head.method = stream.value(*stream.method);
  head.target = stream.value(*stream.path);
  head.headers.reserve(stream.headers.size());
  for (const auto& span : stream.headers)
    head.headers.push_back({stream.name(span), stream.value(span)});
  stream.head_request = head.method == "HEAD";
  HeadVerdict verdict = context_.handler.on_head(head);
  stream.forget_fields();
  if (auto* read = std::get_if<ReadBody>(&verdict)) {
    stream.reading_body = true;
    stream.reading = std::move(*read);
    return;
  }
  if (auto* response = std::get_if<Response>(&verdict)) {
    answer(stream.id, std::move(*response));
  } else {
    answer(stream.id, std::move(std::get<BlockingWork>(verdict)));
  }
}

void Http2Session::on_request_end(Stream& stream) {
  if (!stream.reading_body)
    return;
  stream.reading_body = false;
  // DATA that adds up to anything but the declared Content-Length makes the
  // request malformed: it is reset, never decoded.
  if (stream.body_overflow || stream.body.size() != stream.reading.length) {
    refuse(stream.id, NGHTTP2_PROTOCOL_ERROR);
    return;
  }
  auto then = std::move(stream.reading.then);
  answer(stream.id, then(std::move(stream.body)));
}

void Http2Session::refuse(std::int32_t stream_id, std::uint32_t error_code) {
  nghttp2_submit_rst_stream(session_.get(), NGHTTP2_FLAG_NONE, stream_id, error_code);
}

void Http2Session::answer(std::int32_t stream_id, Answer answer) {
  if (auto* response = std::get_if<Response>(&answer)) {
    respond(stream_id, std::move(*response));
    return;
  }
  async_run_blocking(context_.pool, std::move(std::get<BlockingWork>(answer)),
                     context_.drain->hold(),
                     asio::bind_executor(socket_.get_executor(),
                                         [self = shared_from_this(), stream_id](Response response) {
                                           self->respond(stream_id, std::move(response));
                                           self->pump();
                                         }));
}

void Http2Session::respond(std::int32_t stream_id, Response response) {
  if (closed_)
    return;
  auto* stream = Http2Callbacks::stream(session_.get(), stream_id);
  if (stream == nullptr)
    return;  // the client reset the stream meanwhile
  OutgoingReply reply = prepare_reply(std::move(response), stream->head_request, false);
  std::array<char, 8> status{};
  const auto status_end =
      std::to_chars(status.data(), status.data() + status.size(), reply.status).ptr;
  std::vector<nghttp2_nv> fields;
  fields.reserve(reply.headers.size() + 1);
  const auto field = [](std::string_view name, std::string_view value) {
    // nghttp2 copies the fields when the reply is submitted.
    return nghttp2_nv{reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                      reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
                      value.size(), NGHTTP2_NV_FLAG_NONE};
  };
  fields.push_back(field(":status", std::string_view(status.data(), status_end - status.data())));
  for (const auto& header : reply.headers) {
    if (!is_connection_specific(header.name))
      fields.push_back(field(header.name, header.value));
  }
  stream->response_body = std::move(reply.body);
  unsent_body_bytes_ += stream->response_body.size();
  nghttp2_data_provider provider{};
  provider.source.ptr = stream;
  provider.read_callback = &Http2Callbacks::read_body;
  nghttp2_submit_response(session_.get(), stream_id, fields.data(), fields.size(),
                          stream->response_body.empty() ? nullptr : &provider);
}

}  // namespace service::http
