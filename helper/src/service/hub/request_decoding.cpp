#include "service/hub/request_decoding.hpp"

namespace service::hub {

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

}  // namespace service::hub
