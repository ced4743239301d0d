#include "service/linux/helper_command.hpp"

#include "common/utf8.hpp"

namespace service::linux {

Result<HelperCommand> parse_helper_command(std::span<const std::string_view> words) {
  if (words.empty())
    return HelperCommand::Service;
  HelperCommand command;
  if (words[0] == "install") {
    command = HelperCommand::Install;
  } else if (words[0] == "uninstall") {
    command = HelperCommand::Uninstall;
  } else {
    return Error("unknown helper command: " + decode_utf8_lossy(words[0]));
  }
  if (words.size() > 1)
    return Error("helper accepts at most one command");
  return command;
}

}  // namespace service::linux
