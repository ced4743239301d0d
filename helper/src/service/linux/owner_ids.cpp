#include "service/linux/owner_ids.hpp"

#include "common/utf8.hpp"

#include <cstdio>
#include <cstdlib>

namespace service::linux {

namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The code point that starts at `at` in valid UTF-8, and its length.
std::pair<char32_t, std::size_t> decode_at(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80)
    return {lead, 1};
  std::size_t width = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (at + width > text.size())
    return {0xFFFD, 1};
  char32_t c = lead & (0x7F >> width);
  for (std::size_t i = 1; i < width; ++i)
    c = (c << 6) | (byte(at + i) & 0x3F);
  return {c, width};
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
  while (!text.empty()) {
    auto [c, width] = decode_at(text, 0);
    if (!is_white_space(c))
      break;
    text.remove_prefix(width);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
      --start;
    auto [c, width] = decode_at(text, start);
    if (!is_white_space(c) || start + width != text.size())
      break;
    text.remove_suffix(width);
  }
  return text;
}

Result<std::uint32_t> parse_unsigned_id(std::string_view text) {
  if (text.empty())
    return Error("cannot parse integer from empty string");
  std::string_view digits = text;
  if (digits.front() == '+')
    digits.remove_prefix(1);
  if (digits.empty())
    return Error("invalid digit found in string");
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return Error("invalid digit found in string");
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull)
      return Error("number too large to fit in target type");
  }
  return static_cast<std::uint32_t>(value);
}

Result<std::uint32_t> parse_owner_id(std::string_view text) {
  auto value = parse_unsigned_id(trim_unicode_whitespace(text));
  if (!value)
    return Error("expected an unsigned ID", std::move(value.error()));
  if (*value == 0)
    return Error("expected a non-root ID");
  return *value;
}

std::string quote_escaped(std::string_view bytes) {
  std::string out = "\"";
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto rest = bytes.substr(at);
    const auto invalid = check_utf8(rest);
    const std::size_t valid = invalid ? invalid->valid_up_to : rest.size();
    for (std::size_t i = 0; i < valid;) {
      auto [c, width] = decode_at(rest, i);
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\0':
          out += "\\0";
          break;
        default:
          if (c < 0x20 || c == 0x7F) {
            char escape[16];
            std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
            out += escape;
          } else {
            out.append(rest.substr(i, width));
          }
      }
      i += width;
    }
    at += valid;
    if (invalid) {
      const std::size_t bad = invalid->error_length.value_or(rest.size() - valid);
      for (std::size_t i = 0; i < bad; ++i) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02X",
                      static_cast<unsigned char>(rest[valid + i]));
        out += escape;
      }
      at += bad;
    }
  }
  out += '"';
  return out;
}

Result<std::uint32_t> read_id_env(const char* name) {
  const std::string not_set = std::string(name) + " is not set";
  const char* raw = std::getenv(name);
  if (raw == nullptr)
    return Error(not_set, Error("environment variable not found"));
  const std::string_view value(raw);
  if (!is_valid_utf8(value)) {
    return Error(not_set,
                 Error("environment variable was not valid unicode: " + quote_escaped(value)));
  }
  auto id = parse_owner_id(value);
  if (!id)
    return Error(std::string(name) + " is not a usable ID", std::move(id.error()));
  return *id;
}

Result<Owner> owner_from_env() {
  auto uid = read_id_env(OWNER_UID_ENV);
  if (!uid)
    return uid.error();
  auto gid = read_id_env(OWNER_GID_ENV);
  if (!gid)
    return gid.error();
  return Owner{*uid, *gid};
}

}  // namespace service::linux
