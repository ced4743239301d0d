#include "service/linux/executable_trust.hpp"

#include "common/parent_directory.hpp"
#include "common/utf8.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <string>

namespace service::linux {

namespace {

Error refusal(std::string_view path) {
  return Error(decode_utf8_lossy(path) +
               " must be owned by root and not writable by group or others to run as a "
               "service; install the package instead of running an unpacked bundle");
}

Result<struct stat> inspect(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    const int code = errno;
    return Error("inspect " + decode_utf8_lossy(path), Error::from_os(code));
  }
  return status;
}

Result<void> check_root_only(const std::string& path) {
  auto status = inspect(path);
  if (!status)
    return status.error();
  if (status->st_uid != 0 || (status->st_mode & 022) != 0)
    return refusal(path);
  return {};
}

// Whoever may rename an ancestor may swap the whole tree below it.
Result<void> check_ancestor(const std::string& path) {
  auto status = inspect(path);
  if (!status)
    return status.error();
  const bool others_write = (status->st_mode & 022) != 0 && (status->st_mode & S_ISVTX) == 0;
  if (status->st_uid != 0 || others_write)
    return refusal(path);
  return {};
}

}  // namespace

Result<void> ensure_only_root_can_change(std::string_view executable) {
  const auto directory = parent_directory(executable);
  // A bare name has no directory that could be inspected.
  if (!directory || directory->empty())
    return Error("helper executable has no parent directory");
  if (auto checked = check_root_only(std::string(executable)); !checked)
    return checked;
  if (auto checked = check_root_only(*directory); !checked)
    return checked;
  for (auto above = parent_directory(*directory); above && !above->empty();
       above = parent_directory(*above)) {
    if (auto checked = check_ancestor(*above); !checked)
      return checked;
  }
  return {};
}

}  // namespace service::linux
