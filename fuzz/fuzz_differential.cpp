// One request, made from the input, sent once as HTTP/1.1 and once as
// HTTP/2 (its head through nghttp2's HPACK deflater) on fresh connections:
// both must get the same reply. Compared are the status, the body, and the
// headers that carry meaning (content-type, content-length, cache-control
// and the protocol header).
//
// Where HTTP/2 itself requires otherwise, the two may differ, and those
// requests are not made:
// - "connection": HTTP/1.1 says "close" on the replies that end the
//   connection; HTTP/2 has no such header. Not compared.
// - "100 Continue": HTTP/1.1 answers Expect with an interim reply; HTTP/2
//   does not. Not compared.
// - Transfer-Encoding and the other connection headers, upper case in
//   names, and CR, LF or NUL in values: HTTP/2 resets such a request, and
//   HTTP/1.1 cannot carry the last three. Not made.
// - Blanks around a value: HTTP/1.1 strips them, HTTP/2 keeps them. Not made.
// - Content-Length headers that disagree, or that are not plain digits:
//   HTTP/1.1 cannot frame the body and refuses the request, HTTP/2 leaves
//   them to the route filter. Not made; nor a body that differs from its
//   declared length (HTTP/2 resets it, HTTP/1.1 reads the rest as the next
//   request).
// - Heads near the 8 KiB limit: HTTP/1.1 counts the raw head, HTTP/2 the
//   decoded fields with 32 bytes each. Heads stay under 4 KiB.
#include "replies.hpp"
#include "session_driver.hpp"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method;
  std::string target;
  Fields headers;
  std::string body;
};

// Reads the input front to back; past its end, zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string bytes(std::size_t count) {
    count = std::min(count, size_ - at_);
    std::string out(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return out;
  }
  std::string rest() { return bytes(size_ - at_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Visible ASCII and bytes above 0x7F, blanks only inside.
std::string field_value(std::string raw) {
  for (char& c : raw) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f)
      c = static_cast<char>('a' + b % 26);
    else if (b == '\t')
      c = ' ';
  }
  while (!raw.empty() && raw.front() == ' ')
    raw.erase(0, 1);
  while (!raw.empty() && raw.back() == ' ')
    raw.pop_back();
  return raw;
}

std::string target_text(std::string raw) {
  static constexpr std::string_view kAllowed =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/?=&%+._~:-";
  for (char& c : raw)
    c = kAllowed[static_cast<unsigned char>(c) % kAllowed.size()];
  return "/" + raw;
}

Request make_request(Input& in) {
  static const char* kMethods[] = {"GET",    "POST",    "HEAD", "PUT",
                                   "DELETE", "OPTIONS", "get",  "Post"};
  static const char* kTargets[] = {"/ping",
                                   "/ping/",
                                   "/ping?coreSha256=abc",
                                   "/ping?coreSha256",
                                   "/ping?coreSha256=a&coreSha256=a",
                                   "/ping?x=1",
                                   "/start",
                                   "/start/",
                                   "/stop",
                                   "/logs",
                                   "/logs?x=1",
                                   "/nothing",
                                   "/",
                                   "/Ping",
                                   "//ping",
                                   "/p%69ng"};
  static const char* kNames[] = {"host",   "origin",  "content-type",   "expect",
                                 "accept", "x-extra", "content-length", "user-agent"};
  static const char* kTypes[] = {"application/json",
                                 "application/json; charset=utf-8",
                                 "text/plain",
                                 "APPLICATION/JSON",
                                 "*/*",
                                 "application/jsonx"};
  static const char* kHosts[] = {"localhost",   "LOCALHOST:80", "127.0.0.1",   "[::1]",
                                 "example.com", "u@localhost",  "localhost/x", ""};
  Request request;
  request.method = kMethods[in.byte() % std::size(kMethods)];
  const std::uint8_t target = in.byte();
  request.target =
      target < 128 ? kTargets[target % std::size(kTargets)] : target_text(in.bytes(in.byte() % 24));
  const int count = in.byte() % 8;
  bool declares_length = false;
  for (int i = 0; i < count; ++i) {
    const std::string name = kNames[in.byte() % std::size(kNames)];
    const std::uint8_t choice = in.byte();
    std::string value;
    if (name == "content-length") {
      declares_length = true;
      continue;  // one value for all, decided below
    }
    if (name == "content-type" && choice < 192) {
      value = kTypes[choice % std::size(kTypes)];
    } else if (name == "host" && choice < 192) {
      value = kHosts[choice % std::size(kHosts)];
    } else if (name == "expect" && choice < 128) {
      value = "100-continue";
    } else {
      value = field_value(in.bytes(choice % 48));
    }
    request.headers.emplace_back(name, value);
  }
  const std::uint8_t length_choice = in.byte();
  request.body = in.rest();
  if (declares_length) {
    // The same plain number in every Content-Length: the body's own, or one
    // past the limit (then no body is sent, as the reply comes first).
    const int copies = 1 + length_choice % 2;
    std::string length = std::to_string(request.body.size());
    if (length_choice % 4 == 3 || request.body.size() > 4096) {
      length = length_choice % 8 == 3 ? "4097" : "5000";
      request.body.clear();
    }
    for (int i = 0; i < copies; ++i)
      request.headers.emplace_back("content-length", length);
  } else {
    request.body.clear();
  }
  return request;
}

std::string as_http1(const Request& request) {
  std::string bytes = request.method + " " + request.target + " HTTP/1.1\r\n";
  for (const auto& [name, value] : request.headers)
    bytes += name + ": " + value + "\r\n";
  return bytes + "\r\n" + request.body;
}

// The HTTP/2 client: makes the request's bytes, then reads the reply.
struct Http2Client {
  explicit Http2Client(const Request& request) : request_(request) {
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, &on_header);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &on_data);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &on_close);
    nghttp2_option* option = nullptr;
    nghttp2_option_new(&option);
    nghttp2_option_set_no_http_messaging(option, 1);
    nghttp2_session_client_new2(&session_, callbacks, this, option);
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(callbacks);
  }
  ~Http2Client() { nghttp2_session_del(session_); }

  std::string request_bytes() {
    nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, nullptr, 0);
    Fields fields{{":method", request_.method}, {":scheme", "http"}, {":path", request_.target}};
    fields.insert(fields.end(), request_.headers.begin(), request_.headers.end());
    std::vector<nghttp2_nv> nva;
    for (auto& [name, value] : fields) {
      nva.push_back({reinterpret_cast<std::uint8_t*>(name.data()),
                     reinterpret_cast<std::uint8_t*>(value.data()), name.size(), value.size(),
                     NGHTTP2_NV_FLAG_NONE});
    }
    nghttp2_data_provider provider{};
    provider.source.ptr = this;
    provider.read_callback = &read_body;
    stream_ = nghttp2_submit_request(session_, nullptr, nva.data(), nva.size(),
                                     request_.body.empty() ? nullptr : &provider, nullptr);
    // nghttp2 writes the client preface first.
    std::string bytes;
    const std::uint8_t* data = nullptr;
    for (ssize_t n; (n = nghttp2_session_mem_send(session_, &data)) > 0;) {
      bytes.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
    }
    return bytes;
  }

  void read(std::string_view output) {
    nghttp2_session_mem_recv(session_, reinterpret_cast<const std::uint8_t*>(output.data()),
                             output.size());
  }

  fuzzing::Reply reply;
  bool closed = false;
  bool reset = false;

 private:
  static Http2Client& self(void* user_data) { return *static_cast<Http2Client*>(user_data); }
  static int on_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                       std::size_t name_length, const std::uint8_t* value, std::size_t value_length,
                       std::uint8_t, void* user_data) {
    auto& client = self(user_data);
    if (frame->hd.stream_id != client.stream_)
      return 0;
    const std::string key(reinterpret_cast<const char*>(name), name_length);
    const std::string text(reinterpret_cast<const char*>(value), value_length);
    if (key == ":status") {
      client.reply.status = std::atoi(text.c_str());
    } else {
      client.reply.headers.emplace_back(key, text);
    }
    return 0;
  }
  static int on_data(nghttp2_session*, std::uint8_t, std::int32_t stream, const std::uint8_t* data,
                     std::size_t length, void* user_data) {
    auto& client = self(user_data);
    if (stream == client.stream_)
      client.reply.body.append(reinterpret_cast<const char*>(data), length);
    return 0;
  }
  static int on_close(nghttp2_session*, std::int32_t stream, std::uint32_t error_code,
                      void* user_data) {
    auto& client = self(user_data);
    if (stream == client.stream_) {
      client.closed = true;
      client.reset = error_code != NGHTTP2_NO_ERROR;
    }
    return 0;
  }
  static ssize_t read_body(nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t length,
                           std::uint32_t* flags, nghttp2_data_source*, void* user_data) {
    auto& client = self(user_data);
    const std::size_t count = std::min(length, client.request_.body.size() - client.sent_);
    std::memcpy(buffer, client.request_.body.data() + client.sent_, count);
    client.sent_ += count;
    if (client.sent_ == client.request_.body.size())
      *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(count);
  }

  const Request& request_;
  nghttp2_session* session_ = nullptr;
  std::int32_t stream_ = 0;
  std::size_t sent_ = 0;
};

bool same(const fuzzing::Reply& one, const fuzzing::Reply& two) {
  if (one.status != two.status || one.body != two.body)
    return false;
  for (const char* name :
       {"content-type", "content-length", "cache-control", "x-korvane-helper-protocol"}) {
    if (one.header(name) != two.header(name))
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const Request request = make_request(in);
  std::size_t head_bytes = request.method.size() + request.target.size();
  for (const auto& [name, value] : request.headers)
    head_bytes += name.size() + value.size() + 32;
  if (head_bytes > 4096)
    return 0;

  const auto over_http1 = fuzzing::converse(as_http1(request));
  const auto http1 = fuzzing::read_http1_replies(over_http1.output, {request.method == "HEAD"});
  Http2Client client(request);
  const auto over_http2 = fuzzing::converse(client.request_bytes());
  client.read(over_http2.output);

  if (!http1 || http1->finals.empty())
    std::abort();  // HTTP/1.1 gave no reply at all
  if (!client.closed || client.reset)
    std::abort();  // HTTP/2 gave none, or reset the stream
  if (!same(http1->finals.front(), client.reply))
    std::abort();
  return 0;
}
