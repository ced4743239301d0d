#include "service/linux/systemctl.hpp"

#include "common/exit_status.hpp"
#include "service/linux/child_command.hpp"

namespace service::linux {

Result<void> run_systemctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"systemctl"};
  std::string joined;
  for (const auto& arg : args) {
    argv.push_back(arg);
    if (!joined.empty())
      joined += ' ';
    joined += arg;
  }
  auto exit = run_child(argv, ChildStreams::Inherit);
  if (!exit)
    return Error("run systemctl " + joined, std::move(exit.error()));
  if (!exited_with_zero(exit->wait_status))
    return Error("systemctl " + joined + " failed with " + exit_status_text(exit->wait_status));
  return {};
}

}  // namespace service::linux
