#include "support/h2_client.hpp"

#include <nghttp2/nghttp2.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

namespace testing_support {

namespace {

// The fields as nghttp2 takes them; they point into `fields`.
std::vector<nghttp2_nv> name_values(const Fields& fields) {
  std::vector<nghttp2_nv> nva;
  for (const auto& [name, value] : fields) {
    nva.push_back({const_cast<std::uint8_t*>(reinterpret_cast<const std::uint8_t*>(name.data())),
                   const_cast<std::uint8_t*>(reinterpret_cast<const std::uint8_t*>(value.data())),
                   name.size(), value.size(), NGHTTP2_NV_FLAG_NONE});
  }
  return nva;
}

struct Exchange {
  H2Reply reply;
  std::string body;
  std::size_t sent = 0;
  bool done = false;
};

int on_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
              std::size_t name_length, const std::uint8_t* value, std::size_t value_length,
              std::uint8_t, void* user_data) {
  auto* exchange = static_cast<Exchange*>(user_data);
  if (frame->hd.type != NGHTTP2_HEADERS)
    return 0;
  const std::string key(reinterpret_cast<const char*>(name), name_length);
  const std::string text(reinterpret_cast<const char*>(value), value_length);
  if (key == ":status") {
    exchange->reply.status = std::stoi(text);
  } else {
    exchange->reply.headers.emplace_back(key, text);
  }
  return 0;
}

int on_data(nghttp2_session*, std::uint8_t, std::int32_t, const std::uint8_t* data,
            std::size_t length, void* user_data) {
  static_cast<Exchange*>(user_data)->reply.body.append(reinterpret_cast<const char*>(data), length);
  return 0;
}

int on_close(nghttp2_session*, std::int32_t, std::uint32_t error_code, void* user_data) {
  auto* exchange = static_cast<Exchange*>(user_data);
  exchange->reply.reset = error_code != NGHTTP2_NO_ERROR;
  exchange->done = true;
  return 0;
}

ssize_t read_body(nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t length,
                  std::uint32_t* flags, nghttp2_data_source* source, void*) {
  auto* exchange = static_cast<Exchange*>(source->ptr);
  const std::size_t count = std::min(length, exchange->body.size() - exchange->sent);
  std::memcpy(buffer, exchange->body.data() + exchange->sent, count);
  exchange->sent += count;
  if (exchange->sent == exchange->body.size())
    *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(count);
}

}  // namespace

H2Reply h2_exchange(int fd, const Fields& fields, const std::string& body) {
  Exchange exchange;
  exchange.body = body;
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, on_header);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, on_data);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, on_close);
  nghttp2_option* option = nullptr;
  nghttp2_option_new(&option);
  nghttp2_option_set_no_http_messaging(option, 1);
  nghttp2_session* session = nullptr;
  nghttp2_session_client_new2(&session, callbacks, &exchange, option);
  nghttp2_option_del(option);
  nghttp2_session_callbacks_del(callbacks);

  nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
  std::vector<nghttp2_nv> nva = name_values(fields);
  nghttp2_data_provider provider{};
  provider.source.ptr = &exchange;
  provider.read_callback = read_body;
  nghttp2_submit_request(session, nullptr, nva.data(), nva.size(),
                         body.empty() ? nullptr : &provider, nullptr);

  for (int rounds = 0; !exchange.done && rounds < 500; ++rounds) {
    const std::uint8_t* out = nullptr;
    for (ssize_t n; (n = nghttp2_session_mem_send(session, &out)) > 0;) {
      if (::send(fd, out, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
        nghttp2_session_del(session);
        exchange.reply.reset = true;
        return exchange.reply;
      }
    }
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 10) <= 0)
      continue;
    std::uint8_t in[16384];
    const ssize_t n = ::read(fd, in, sizeof in);
    if (n <= 0) {
      exchange.reply.reset = !exchange.done;
      break;
    }
    nghttp2_session_mem_recv(session, in, static_cast<std::size_t>(n));
  }
  nghttp2_session_del(session);
  return exchange.reply;
}

namespace {

struct Repeat {
  const std::function<void(std::size_t)>* progress = nullptr;
  std::size_t answered = 0;
  std::size_t ok = 0;
  std::size_t submitted = 0;
  int status = 0;
};

int on_repeat_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                     std::size_t name_length, const std::uint8_t* value, std::size_t value_length,
                     std::uint8_t, void* user_data) {
  if (frame->hd.type == NGHTTP2_HEADERS &&
      std::string_view(reinterpret_cast<const char*>(name), name_length) == ":status") {
    static_cast<Repeat*>(user_data)->status =
        std::stoi(std::string(reinterpret_cast<const char*>(value), value_length));
  }
  return 0;
}

int on_repeat_close(nghttp2_session*, std::int32_t, std::uint32_t error_code, void* user_data) {
  auto* repeat = static_cast<Repeat*>(user_data);
  ++repeat->answered;
  if (error_code == NGHTTP2_NO_ERROR && repeat->status == 200)
    ++repeat->ok;
  repeat->status = 0;
  if (*repeat->progress)
    (*repeat->progress)(repeat->answered);
  return 0;
}

}  // namespace

std::size_t h2_repeat(int fd, const Fields& fields, std::size_t count, std::size_t in_flight,
                      const std::function<void(std::size_t)>& answered) {
  Repeat repeat;
  repeat.progress = &answered;
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, on_repeat_header);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, on_repeat_close);
  nghttp2_session* session = nullptr;
  nghttp2_session_client_new(&session, callbacks, &repeat);
  nghttp2_session_callbacks_del(callbacks);
  nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
  std::vector<nghttp2_nv> nva = name_values(fields);
  while (repeat.answered < count) {
    while (repeat.submitted < count && repeat.submitted - repeat.answered < in_flight) {
      nghttp2_submit_request(session, nullptr, nva.data(), nva.size(), nullptr, nullptr);
      ++repeat.submitted;
    }
    bool sent = true;
    const std::uint8_t* out = nullptr;
    for (ssize_t n; sent && (n = nghttp2_session_mem_send(session, &out)) > 0;)
      sent = ::send(fd, out, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
    std::uint8_t in[16384];
    const ssize_t n = sent ? ::read(fd, in, sizeof in) : -1;
    if (n <= 0 || nghttp2_session_mem_recv(session, in, static_cast<std::size_t>(n)) < 0)
      break;
  }
  nghttp2_session_del(session);
  return repeat.ok;
}

}  // namespace testing_support
