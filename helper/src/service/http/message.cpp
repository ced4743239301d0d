#include "service/http/message.hpp"

#include <algorithm>

namespace service::http {

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trim_optional_whitespace(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> RequestHead::values(std::string_view name) const {
  std::vector<std::string_view> found;
  for (const auto& header : headers) {
    if (equals_ignoring_ascii_case(header.name, name))
      found.push_back(header.value);
  }
  return found;
}

std::optional<std::string_view> RequestHead::first(std::string_view name) const {
  for (const auto& header : headers) {
    if (equals_ignoring_ascii_case(header.name, name))
      return header.value;
  }
  return std::nullopt;
}

void Response::set_header(std::string name, std::string value) {
  for (auto& header : headers) {
    if (equals_ignoring_ascii_case(header.name, name)) {
      header.value = std::move(value);
      return;
    }
  }
  headers.push_back({std::move(name), std::move(value)});
}

bool Response::closes_connection() const {
  for (const auto& header : headers) {
    if (equals_ignoring_ascii_case(header.name, "connection") &&
        equals_ignoring_ascii_case(header.value, "close")) {
      return true;
    }
  }
  return false;
}

}  // namespace service::http
