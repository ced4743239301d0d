#include "common/utf8.hpp"

namespace service {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the valid sequence at `at`, or, when there is none, how many
// bytes form the maximal subpart that has to be replaced (at least one).
struct Sequence {
  std::size_t length;
  bool valid;
  bool truncated;  // ran into the end of the input
};

Sequence next_sequence(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80)
    return {1, true, false};
  std::size_t width = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    width = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    width = 3;
    if (lead == 0xE0)
      low = 0xA0;
    if (lead == 0xED)
      high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    width = 4;
    if (lead == 0xF0)
      low = 0x90;
    if (lead == 0xF4)
      high = 0x8F;
  } else {
    return {1, false, false};
  }
  std::size_t length = 1;
  for (; length < width; ++length) {
    if (at + length >= bytes.size())
      return {length, false, true};
    const unsigned char next = byte(at + length);
    const unsigned char lo = length == 1 ? low : 0x80;
    const unsigned char hi = length == 1 ? high : 0xBF;
    if (next < lo || next > hi)
      return {length, false, false};
  }
  return {width, true, false};
}

}  // namespace

std::string Utf8Error::message() const {
  if (error_length) {
    return "invalid utf-8 sequence of " + std::to_string(*error_length) + " bytes from index " +
           std::to_string(valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> check_utf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const Sequence sequence = next_sequence(bytes, at);
    if (!sequence.valid) {
      if (sequence.truncated)
        return Utf8Error{at, std::nullopt};
      return Utf8Error{at, sequence.length};
    }
    at += sequence.length;
  }
  return std::nullopt;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const Sequence sequence = next_sequence(bytes, at);
    if (sequence.valid) {
      text.append(bytes.substr(at, sequence.length));
    } else {
      text.append(kReplacement);
    }
    at += sequence.length;
  }
  return text;
}

}  // namespace service
