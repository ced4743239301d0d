#include "support/h2_frames.hpp"

#include <nghttp2/nghttp2.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace testing_support {

namespace h2 {

namespace {

// An HPACK integer with an N-bit prefix, the prefix's other bits in `high`.
std::string integer(unsigned value, int prefix_bits, std::uint8_t high) {
  const unsigned limit = (1u << prefix_bits) - 1;
  std::string out;
  if (value < limit) {
    out += static_cast<char>(high | value);
    return out;
  }
  out += static_cast<char>(high | limit);
  value -= limit;
  while (value >= 128) {
    out += static_cast<char>((value % 128) | 128);
    value /= 128;
  }
  out += static_cast<char>(value);
  return out;
}

std::string string_literal(std::string_view text) {
  return integer(static_cast<unsigned>(text.size()), 7, 0) + std::string(text);
}

}  // namespace

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  std::string_view payload) {
  std::string out;
  const auto length = static_cast<std::uint32_t>(payload.size());
  out += static_cast<char>(length >> 16);
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length);
  out += static_cast<char>(type);
  out += static_cast<char>(flags);
  out += static_cast<char>((stream >> 24) & 0x7f);
  out += static_cast<char>(stream >> 16);
  out += static_cast<char>(stream >> 8);
  out += static_cast<char>(stream);
  out.append(payload);
  return out;
}

std::string preface() {
  return std::string("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") + frame(SETTINGS, 0, 0, "");
}

std::string indexed(unsigned index) {
  return integer(index, 7, 0x80);
}

std::string literal(std::string_view name, std::string_view value, bool add_to_table) {
  return std::string(1, add_to_table ? '\x40' : '\x00') + string_literal(name) +
         string_literal(value);
}

std::string request_block(bool post, std::string_view path,
                          const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string block = indexed(post ? 3 : 2) + indexed(6) + literal(":path", path);
  for (const auto& [name, value] : fields)
    block += literal(name, value);
  return block;
}

std::uint32_t Frame::error_code() const {
  const std::size_t at = type == GOAWAY ? 4 : 0;
  if (payload.size() < at + 4)
    return 0;
  std::uint32_t code = 0;
  for (std::size_t i = 0; i < 4; ++i)
    code = (code << 8) | static_cast<std::uint8_t>(payload[at + i]);
  return code;
}

Reader::Reader(int fd) : fd_(fd) {
  nghttp2_hd_inflater* inflater = nullptr;
  if (nghttp2_hd_inflate_new(&inflater) != 0)
    throw std::runtime_error("inflater");
  inflater_ = inflater;
}

Reader::~Reader() {
  nghttp2_hd_inflate_del(static_cast<nghttp2_hd_inflater*>(inflater_));
}

std::optional<Frame> Reader::next() {
  for (;;) {
    if (buffer_.size() >= 9) {
      const auto byte = [this](std::size_t i) { return static_cast<std::uint8_t>(buffer_[i]); };
      const std::size_t length = (byte(0) << 16) | (byte(1) << 8) | byte(2);
      if (buffer_.size() >= 9 + length) {
        Frame frame;
        frame.type = byte(3);
        frame.flags = byte(4);
        frame.stream = ((byte(5) & 0x7f) << 24) | (byte(6) << 16) | (byte(7) << 8) | byte(8);
        frame.payload = buffer_.substr(9, length);
        buffer_.erase(0, 9 + length);
        return frame;
      }
    }
    char chunk[16384];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0)
      return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

int Reader::status(const Frame& headers) {
  auto* inflater = static_cast<nghttp2_hd_inflater*>(inflater_);
  auto* in = reinterpret_cast<const std::uint8_t*>(headers.payload.data());
  std::size_t left = headers.payload.size();
  int status = 0;
  for (;;) {
    nghttp2_nv field;
    int flags = 0;
    const ssize_t used = nghttp2_hd_inflate_hd2(inflater, &field, &flags, in, left, /*in_final=*/1);
    if (used < 0)
      return -1;
    in += used;
    left -= static_cast<std::size_t>(used);
    if (flags & NGHTTP2_HD_INFLATE_EMIT) {
      const std::string name(reinterpret_cast<const char*>(field.name), field.namelen);
      if (name == ":status")
        status = std::stoi(std::string(reinterpret_cast<const char*>(field.value), field.valuelen));
    }
    if (flags & NGHTTP2_HD_INFLATE_FINAL) {
      nghttp2_hd_inflate_end_headers(inflater);
      return status;
    }
    if (used == 0 && !(flags & NGHTTP2_HD_INFLATE_EMIT))
      return status;
  }
}

}  // namespace h2

std::size_t resident_bytes(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0)
      return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
}

}  // namespace testing_support
