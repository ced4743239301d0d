#include "service/hub/request_guard.hpp"

#include <array>

namespace service::hub {

namespace {

constexpr std::array<std::string_view, 3> ALLOWED_HOSTS = {"127.0.0.1", "localhost",
                                                           "KorvaneVeskHelperService"};

bool is_visible_ascii_or_tab(std::string_view value) {
  for (unsigned char c : value) {
    if (c != '\t' && (c < 32 || c > 126))
      return false;
  }
  return true;
}

bool is_plain_authority_byte(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
    return true;
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case '-':
    case '.':
    case ';':
    case '=':
    case '_':
    case '~':
      return true;
    default:
      return false;
  }
}

}  // namespace

bool is_authority(std::string_view value) {
  int colons = 0;
  bool percent = false;
  bool opened = false;
  bool closed = false;
  std::size_t last_at = std::string_view::npos;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (is_plain_authority_byte(c))
      continue;
    switch (c) {
      case ':':
        if (colons == 8)
          return false;
        ++colons;
        break;
      case '@':
        last_at = i;
        colons = 0;
        percent = false;
        break;
      case '[':
        if (percent || opened)
          return false;
        opened = true;
        break;
      case ']':
        if (!opened || closed)
          return false;
        closed = true;
        colons = 0;
        percent = false;
        break;
      case '%':
        percent = true;
        break;
      default:  // "/", "?", "#" would end the authority early; the rest never belongs
        return false;
    }
  }
  const bool ends_with_at = last_at != std::string_view::npos && last_at + 1 == value.size();
  return opened == closed && colons <= 1 && !ends_with_at && !percent;
}

std::string_view authority_host(std::string_view authority) {
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    return close == std::string_view::npos ? authority : authority.substr(0, close + 1);
  }
  return authority.substr(0, authority.find(':'));
}

std::optional<RefusalKind> check_request_guard(const http::RequestHead& head) {
  const auto origin = head.first("origin");
  if (origin && !is_visible_ascii_or_tab(*origin))
    return RefusalKind::InvalidHeader;
  const auto host = head.first("host");
  if (host && !is_visible_ascii_or_tab(*host))
    return RefusalKind::InvalidHeader;
  if (host) {
    if (host->empty() || !is_authority(*host))
      return RefusalKind::ForbiddenClient;
    const auto name = authority_host(*host);
    bool allowed = false;
    for (auto candidate : ALLOWED_HOSTS) {
      allowed = allowed || http::equals_ignoring_ascii_case(name, candidate);
    }
    if (!allowed)
      return RefusalKind::ForbiddenClient;
  }
  if (origin)
    return RefusalKind::ForbiddenClient;
  return std::nullopt;
}

}  // namespace service::hub
