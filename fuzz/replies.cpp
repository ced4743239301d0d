#include "replies.hpp"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <charconv>
#include <memory>

namespace fuzzing {

std::optional<std::string> Reply::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name)
      return value;
  }
  return std::nullopt;
}

namespace {

std::optional<std::size_t> decimal(std::string_view text) {
  std::size_t value = 0;
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (failure != std::errc() || end != text.data() + text.size() || text.empty())
    return std::nullopt;
  return value;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return out;
}

}  // namespace

std::optional<Http1Replies> read_http1_replies(std::string_view output,
                                               const std::vector<bool>& head_requests) {
  Http1Replies read;
  while (!output.empty()) {
    if (!read.ends_after_close)
      return std::nullopt;
    const auto end = output.find("\r\n\r\n");
    if (end == std::string_view::npos)
      return std::nullopt;
    std::string_view head = output.substr(0, end + 2);
    output.remove_prefix(end + 4);
    const auto line_end = head.find("\r\n");
    const std::string_view line = head.substr(0, line_end);
    head.remove_prefix(line_end + 2);
    // "HTTP/1.1 NNN reason"
    if (line.size() < 13 || line.substr(0, 9) != "HTTP/1.1 " || line[12] != ' ')
      return std::nullopt;
    const auto status = decimal(line.substr(9, 3));
    if (!status || *status < 100)
      return std::nullopt;
    Reply reply;
    reply.status = static_cast<int>(*status);
    while (!head.empty()) {
      const auto field_end = head.find("\r\n");
      const std::string_view field = head.substr(0, field_end);
      head.remove_prefix(field_end + 2);
      const auto colon = field.find(": ");
      if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
      reply.headers.emplace_back(lower(field.substr(0, colon)), field.substr(colon + 2));
    }
    if (reply.status < 200) {
      if (!reply.headers.empty())
        return std::nullopt;
      ++read.interim;
      continue;
    }
    std::size_t lengths = 0;
    for (const auto& [name, value] : reply.headers)
      lengths += name == "content-length" ? 1 : 0;
    const auto length = reply.header("content-length");
    const auto size = length ? decimal(*length) : std::nullopt;
    if (lengths != 1 || !size)
      return std::nullopt;
    const std::size_t index = read.finals.size();
    const bool head_request = index < head_requests.size() && head_requests[index];
    if (!head_request) {
      if (output.size() < *size)
        return std::nullopt;
      reply.body = std::string(output.substr(0, *size));
      output.remove_prefix(*size);
    }
    read.ends_after_close = reply.header("connection") != "close";
    read.finals.push_back(std::move(reply));
  }
  read.ends_after_close = true;
  return read;
}

namespace {

struct InflaterDeleter {
  void operator()(nghttp2_hd_inflater* inflater) const { nghttp2_hd_inflate_del(inflater); }
};

bool inflate(nghttp2_hd_inflater* inflater, std::string_view block, Reply& reply) {
  auto* in = reinterpret_cast<const std::uint8_t*>(block.data());
  std::size_t left = block.size();
  for (;;) {
    nghttp2_nv field;
    int flags = 0;
    const ssize_t used = nghttp2_hd_inflate_hd2(inflater, &field, &flags, in, left, 1);
    if (used < 0)
      return false;
    in += used;
    left -= static_cast<std::size_t>(used);
    if (flags & NGHTTP2_HD_INFLATE_EMIT) {
      const std::string name(reinterpret_cast<const char*>(field.name), field.namelen);
      const std::string value(reinterpret_cast<const char*>(field.value), field.valuelen);
      if (name == ":status") {
        const auto status = decimal(value);
        if (!status || value.size() != 3 || reply.status != 0)
          return false;
        reply.status = static_cast<int>(*status);
      } else {
        reply.headers.emplace_back(name, value);
      }
    }
    if (flags & NGHTTP2_HD_INFLATE_FINAL) {
      nghttp2_hd_inflate_end_headers(inflater);
      return reply.status >= 200;
    }
    if (used == 0)
      return false;
  }
}

}  // namespace

std::optional<Http2Replies> read_http2_replies(std::string_view output) {
  nghttp2_hd_inflater* made = nullptr;
  if (nghttp2_hd_inflate_new(&made) != 0)
    return std::nullopt;
  std::unique_ptr<nghttp2_hd_inflater, InflaterDeleter> inflater(made);
  Http2Replies read;
  std::map<std::uint32_t, Reply> open;  // reply head seen, stream not ended
  std::uint32_t goaway_last = UINT32_MAX;
  bool first = true;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(output[i]); };
  while (!output.empty()) {
    if (output.size() < 9)
      return std::nullopt;
    const std::size_t length = (byte(0) << 16) | (byte(1) << 8) | byte(2);
    const std::uint8_t type = byte(3);
    const std::uint8_t flags = byte(4);
    const std::uint32_t stream =
        ((byte(5) & 0x7f) << 24) | (byte(6) << 16) | (byte(7) << 8) | byte(8);
    if (output.size() < 9 + length)
      return std::nullopt;
    std::string payload(output.substr(9, length));
    output.remove_prefix(9 + length);
    if (first && (type != NGHTTP2_SETTINGS || stream != 0 || (flags & NGHTTP2_FLAG_ACK)))
      return std::nullopt;
    first = false;
    switch (type) {
      case NGHTTP2_HEADERS: {
        if (stream == 0 || stream > goaway_last || open.count(stream) ||
            read.replies.count(stream)) {
          return std::nullopt;
        }
        bool ends_headers = flags & NGHTTP2_FLAG_END_HEADERS;
        const bool ends_stream = flags & NGHTTP2_FLAG_END_STREAM;
        while (!ends_headers) {
          // CONTINUATION of the same stream, and nothing else, until the end.
          if (output.size() < 9)
            return std::nullopt;
          const std::size_t more = (byte(0) << 16) | (byte(1) << 8) | byte(2);
          const std::uint32_t same =
              ((byte(5) & 0x7f) << 24) | (byte(6) << 16) | (byte(7) << 8) | byte(8);
          if (byte(3) != NGHTTP2_CONTINUATION || same != stream || output.size() < 9 + more)
            return std::nullopt;
          ends_headers = byte(4) & NGHTTP2_FLAG_END_HEADERS;
          payload.append(output.substr(9, more));
          output.remove_prefix(9 + more);
        }
        Reply reply;
        if (!inflate(inflater.get(), payload, reply))
          return std::nullopt;
        if (ends_stream) {
          read.replies.emplace(stream, std::move(reply));
        } else {
          open.emplace(stream, std::move(reply));
        }
        break;
      }
      case NGHTTP2_DATA: {
        const auto found = open.find(stream);
        if (found == open.end() || (flags & NGHTTP2_FLAG_PADDED))
          return std::nullopt;
        found->second.body += payload;
        if (flags & NGHTTP2_FLAG_END_STREAM) {
          const auto length_header = found->second.header("content-length");
          const auto declared = length_header ? decimal(*length_header) : std::nullopt;
          if (!declared || *declared != found->second.body.size())
            return std::nullopt;
          read.replies.emplace(stream, std::move(found->second));
          open.erase(found);
        }
        break;
      }
      case NGHTTP2_RST_STREAM:
        if (stream == 0 || length != 4)
          return std::nullopt;
        read.reset.push_back(stream);
        open.erase(stream);
        break;
      case NGHTTP2_GOAWAY:
        if (stream != 0 || length < 8)
          return std::nullopt;
        goaway_last = ((static_cast<std::uint8_t>(payload[0]) & 0x7f) << 24) |
                      (static_cast<std::uint8_t>(payload[1]) << 16) |
                      (static_cast<std::uint8_t>(payload[2]) << 8) |
                      static_cast<std::uint8_t>(payload[3]);
        read.goaway = true;
        break;
      case NGHTTP2_SETTINGS:
      case NGHTTP2_PING:
      case NGHTTP2_WINDOW_UPDATE:
        break;
      default:
        return std::nullopt;
    }
  }
  return read;
}

}  // namespace fuzzing
