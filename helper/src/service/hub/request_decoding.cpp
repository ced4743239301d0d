#include "service/hub/request_decoding.hpp"

#include "common/utf8.hpp"

#include <limits>

namespace service::hub {

namespace {

bool is_visible_ascii(std::string_view value) {
  for (unsigned char c : value) {
    if (c < 32 || c > 126)
      return false;
  }
  return true;
}

std::optional<std::uint64_t> parse_length(std::string_view value) {
  if (!is_visible_ascii(value))
    return std::nullopt;
  if (value.starts_with('+'))
    value.remove_prefix(1);
  if (value.empty())
    return std::nullopt;
  std::uint64_t length = 0;
  for (char c : value) {
    if (c < '0' || c > '9')
      return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (length > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
      return std::nullopt;
    length = length * 10 + digit;
  }
  return length;
}

bool is_token_char(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
    return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_token(std::string_view text) {
  if (text.empty())
    return false;
  for (unsigned char c : text) {
    if (!is_token_char(c))
      return false;
  }
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// "+" is a blank and "%XX" a byte; a "%" without two hexadecimal digits stays.
std::string form_decode(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      bytes += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
               hex_value(text[i + 2]) >= 0) {
      bytes += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  return decode_utf8_lossy(bytes);
}

}  // namespace

std::string_view request_path(std::string_view target) {
  target = target.substr(0, target.find('?'));
  if (!target.starts_with('/')) {
    // Absolute form: skip "scheme://authority".
    const auto scheme_end = target.find("://");
    if (scheme_end == std::string_view::npos)
      return target;
    const auto path_start = target.find('/', scheme_end + 3);
    return path_start == std::string_view::npos ? std::string_view("/") : target.substr(path_start);
  }
  return target;
}

bool path_matches(std::string_view path, std::string_view name) {
  if (!path.starts_with('/'))
    return false;
  path.remove_prefix(1);
  if (!path.starts_with(name))
    return false;
  path.remove_prefix(name.size());
  return path.empty() || path == "/";
}

std::variant<std::uint64_t, RefusalKind> read_content_length(const http::RequestHead& head) {
  const auto values = head.values("content-length");
  if (values.empty())
    return RefusalKind::LengthRequired;
  std::optional<std::uint64_t> agreed;
  for (auto value : values) {
    const auto length = parse_length(value);
    if (!length || (agreed && *agreed != *length))
      return RefusalKind::LengthRequired;
    agreed = length;
  }
  if (*agreed > MAX_BODY_BYTES)
    return RefusalKind::PayloadTooLarge;
  return *agreed;
}

bool content_type_is_json(const http::RequestHead& head) {
  const auto value = head.first("content-type");
  if (!value)
    return true;
  if (!is_visible_ascii(*value))
    return false;
  const std::string_view essence =
      http::trim_optional_whitespace(value->substr(0, value->find(';')));
  const auto slash = essence.find('/');
  if (slash == std::string_view::npos)
    return false;
  const auto type = essence.substr(0, slash);
  const auto subtype = essence.substr(slash + 1);
  return is_token(type) && is_token(subtype) &&
         http::equals_ignoring_ascii_case(type, "application") &&
         http::equals_ignoring_ascii_case(subtype, "json");
}

std::optional<PingParams> read_ping_query(std::string_view target) {
  const auto question = target.find('?');
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  std::optional<PingParams> params;
  std::size_t start = 0;
  while (start <= query.size()) {
    const auto end = std::min(query.find('&', start), query.size());
    const auto piece = query.substr(start, end - start);
    start = end + 1;
    if (piece.empty())
      continue;
    const auto equals = piece.find('=');
    const std::string name = form_decode(piece.substr(0, equals));
    const std::string value =
        equals == std::string_view::npos ? std::string() : form_decode(piece.substr(equals + 1));
    if (name != "coreSha256" || params)
      return std::nullopt;
    params = PingParams{value};
  }
  return params;
}

}  // namespace service::hub
