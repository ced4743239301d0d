#include "common/open_file_limit.hpp"

#include <optional>

namespace service {

namespace {

std::optional<rlimit>& found() {
  static std::optional<rlimit> limit;
  return limit;
}

}  // namespace

void raise_open_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return;
  found() = limit;
  if (limit.rlim_cur == limit.rlim_max)
    return;
  rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
  // Left as it was if refused: the helper still works, with fewer connections.
  ::setrlimit(RLIMIT_NOFILE, &raised);
}

rlimit original_open_file_limit() {
  if (found())
    return *found();
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return limit;
}

}  // namespace service
