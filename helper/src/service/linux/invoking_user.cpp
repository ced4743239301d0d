#include "service/linux/invoking_user.hpp"

#include "common/exit_status.hpp"
#include "common/utf8.hpp"
#include "service/linux/child_command.hpp"

#include <cstdlib>
#include <optional>
#include <string>

namespace service::linux {

namespace {

// The first of the two variables that is set to valid UTF-8, even when it
// is empty: pkexec's word counts over sudo's.
std::optional<std::string> invoking_uid_text() {
  for (const char* name : {"PKEXEC_UID", "SUDO_UID"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && is_valid_utf8(value))
      return std::string(value);
  }
  return std::nullopt;
}

}  // namespace

Result<Owner> invoking_owner() {
  const auto text = invoking_uid_text();
  if (!text)
    return Error("neither PKEXEC_UID nor SUDO_UID is set; run the installer through pkexec");
  auto uid = parse_owner_id(*text);
  if (!uid)
    return Error("the invoking user ID is not usable", std::move(uid.error()));

  const std::string uid_text = std::to_string(*uid);
  auto id = run_child({"id", "-g", uid_text}, ChildStreams::CaptureOutput);
  if (!id)
    return Error("query the invoking user", std::move(id.error()));
  if (!exited_with_zero(id->wait_status))
    return Error("id -g " + uid_text + " failed with " + exit_status_text(id->wait_status));
  if (const auto invalid = check_utf8(id->output))
    return Error("id returned invalid UTF-8", Error(invalid->message()));
  const std::string_view trimmed = trim_unicode_whitespace(id->output);
  if (trimmed.empty())
    return Error("id -g " + uid_text + " returned nothing");
  auto gid = parse_owner_id(trimmed);
  if (!gid)
    return Error("the invoking group is not usable", std::move(gid.error()));
  return Owner{*uid, *gid};
}

}  // namespace service::linux
