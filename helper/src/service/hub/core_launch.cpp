#include "service/hub/core_launch.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace service::hub {

Result<CoreOwnerStep> adopt_core_owner() {
  auto owner = linux::owner_from_env();
  if (!owner)
    return owner.error();
  return CoreOwnerStep{owner->uid, owner->gid};
}

namespace {

[[noreturn]] void fail_in_child(int report_fd) {
  const int code = errno;
  [[maybe_unused]] auto written = ::write(report_fd, &code, sizeof code);
  ::_exit(127);
}

}  // namespace

Result<SpawnedCore> spawn_core(const VerifiedCore& core, const std::string& address,
                               CoreOwnerStep owner) {
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls.
  std::string program = core.path;
  std::string argument = address;
  char* const argv[] = {program.data(), argument.data(), nullptr};
  const char* directory = core.directory.empty() ? "." : core.directory.c_str();

  int stderr_pipe[2];
  if (::pipe2(stderr_pipe, O_CLOEXEC) != 0)
    return Error::last_os();
  UniqueFd stderr_read(stderr_pipe[0]);
  UniqueFd stderr_write(stderr_pipe[1]);
  int report_pipe[2];
  if (::pipe2(report_pipe, O_CLOEXEC) != 0)
    return Error::last_os();
  UniqueFd report_read(report_pipe[0]);
  UniqueFd report_write(report_pipe[1]);

  sigset_t no_signals;
  sigemptyset(&no_signals);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);

  const pid_t pid = ::fork();
  if (pid < 0)
    return Error::last_os();
  if (pid == 0) {
    if (::dup2(stderr_write.get(), STDERR_FILENO) < 0)
      fail_in_child(report_write.get());
    if (::chdir(directory) != 0)
      fail_in_child(report_write.get());
    // Whatever the helper itself inherited without close-on-exec stays here.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    // SIGPIPE as the Core expects it. SIGTERM and SIGINT too: once the real
    // user ID is the owner's, the owner may signal this child, and before the
    // exec the helper's own handler would take it as the helper's shutdown.
    for (const int number : {SIGPIPE, SIGTERM, SIGINT})
      ::sigaction(number, &default_action, nullptr);
    // The runtime's threads may block signals; the Core must hear SIGTERM.
    ::sigprocmask(SIG_SETMASK, &no_signals, nullptr);
    if (::setresgid(owner.gid, 0, 0) != 0)
      fail_in_child(report_write.get());
    if (::setresuid(owner.uid, 0, 0) != 0)
      fail_in_child(report_write.get());
    ::execv(argv[0], argv);
    fail_in_child(report_write.get());
  }

  stderr_write.reset();
  report_write.reset();
  int child_errno = 0;
  ssize_t count;
  do {
    count = ::read(report_read.get(), &child_errno, sizeof child_errno);
  } while (count < 0 && errno == EINTR);
  if (count == static_cast<ssize_t>(sizeof child_errno)) {
    // The child failed before the Core ran: collect it.
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return Error::from_os(child_errno);
  }
  return SpawnedCore{CoreProcess(pid), std::move(stderr_read)};
}

}  // namespace service::hub
