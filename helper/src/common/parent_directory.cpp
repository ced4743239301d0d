#include "common/parent_directory.hpp"

namespace service {

std::optional<std::string> parent_directory(std::string_view path) {
  if (path.empty() || path == "/")
    return std::nullopt;
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos)
    return std::string();
  if (slash == 0)
    return std::string("/");
  return std::string(path.substr(0, slash));
}

}  // namespace service
