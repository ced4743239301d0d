#include "common/error.hpp"
#include "common/open_file_limit.hpp"
#include "service/linux/helper_command.hpp"
#include "service/linux/install.hpp"
#include "service/linux/owner_ids.hpp"
#include "service/linux/service_host.hpp"
#include "service/linux/uninstall.hpp"
#include "service/runtime/runtime.hpp"

#include <boost/asio/co_spawn.hpp>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

using service::Error;
using service::Result;
namespace linux = service::linux;

// Later files and sockets must never get the numbers 0, 1 or 2.
void open_missing_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
      continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

Result<void> run_service_mode() {
  auto owner = linux::owner_from_env();
  if (!owner)
    return owner.error();

  service::raise_open_file_limit();

  // Only the main thread, which drives the service, takes SIGTERM and SIGINT:
  // the runtime's threads start with them blocked, and the service blocks
  // them here too once its stop has begun.
  const sigset_t signals = linux::shutdown_signals();
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  auto runtime = service::runtime::Runtime::create();
  ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  if (!runtime)
    return runtime.error();

  Result<void> outcome = Error("Helper service did not finish");
  boost::asio::co_spawn((*runtime)->main_context(), linux::run_service(*owner, **runtime),
                        [&outcome](std::exception_ptr failure, Result<void> result) {
                          if (failure) {
                            try {
                              std::rethrow_exception(failure);
                            } catch (const std::exception& e) {
                              outcome = Error(std::string("Helper service failed: ") + e.what());
                            }
                          } else {
                            outcome = std::move(result);
                          }
                        });
  (*runtime)->main_context().run();
  runtime->reset();
  return outcome;
}

Result<void> run(int argc, char** argv) {
  std::vector<std::string_view> words;
  for (int i = 1; i < argc; ++i)
    words.emplace_back(argv[i]);
  auto command = linux::parse_helper_command(words);
  if (!command)
    return command.error();
  switch (*command) {
    case linux::HelperCommand::Service:
      return run_service_mode();
    case linux::HelperCommand::Install:
      return linux::install_service();
    case linux::HelperCommand::Uninstall:
      return linux::uninstall_service();
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  open_missing_standard_descriptors();
  const auto result = run(argc, argv);
  if (result)
    return 0;
  const std::string text = service::format_error_chain(result.error());
  std::fwrite(text.data(), 1, text.size(), stderr);
  return 1;
}
