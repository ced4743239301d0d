#include "service/hub/core_launch.hpp"

#include "common/open_file_limit.hpp"
#include "common/pipe.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

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

// Marks every descriptor from 3 below `end` close-on-exec, one at a time:
// for kernels without CLOSE_RANGE_CLOEXEC. Async-signal-safe.
void mark_close_on_exec_from_3(int end) {
  for (int fd = 3; fd < end; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
      ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
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
  // The Core gets the limit the helper was started with, not the raised one.
  const rlimit open_files = original_open_file_limit();
  rlimit current{};
  ::getrlimit(RLIMIT_NOFILE, &current);
  const int descriptor_end = current.rlim_cur == RLIM_INFINITY || current.rlim_cur > INT_MAX
                                 ? INT_MAX
                                 : static_cast<int>(current.rlim_cur);

  auto stderr_pipe = Pipe::open();
  if (!stderr_pipe)
    return stderr_pipe.error();
  auto report_pipe = Pipe::open();
  if (!report_pipe)
    return report_pipe.error();
  const int stderr_write = stderr_pipe->write_end.get();
  const int report_write = report_pipe->write_end.get();

  sigset_t no_signals;
  sigemptyset(&no_signals);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);

  const pid_t pid = ::fork();
  if (pid < 0)
    return Error::last_os();
  if (pid == 0) {
    if (::dup2(stderr_write, STDERR_FILENO) < 0)
      fail_in_child(report_write);
    if (::chdir(directory) != 0)
      fail_in_child(report_write);
    // Whatever the helper itself inherited without close-on-exec stays here.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
      mark_close_on_exec_from_3(descriptor_end);
    if (::setrlimit(RLIMIT_NOFILE, &open_files) != 0)
      fail_in_child(report_write);
    // SIGPIPE as the Core expects it. SIGTERM and SIGINT too: once the real
    // user ID is the owner's, the owner may signal this child, and before the
    // exec the helper's own handler would take it as the helper's shutdown.
    for (const int number : {SIGPIPE, SIGTERM, SIGINT})
      ::sigaction(number, &default_action, nullptr);
    // The runtime's threads may block signals; the Core must hear SIGTERM.
    ::sigprocmask(SIG_SETMASK, &no_signals, nullptr);
    if (::setresgid(owner.gid, 0, 0) != 0)
      fail_in_child(report_write);
    if (::setresuid(owner.uid, 0, 0) != 0)
      fail_in_child(report_write);
    ::execv(argv[0], argv);
    fail_in_child(report_write);
  }

  ChildProcess child(pid);
  stderr_pipe->write_end.reset();
  report_pipe->write_end.reset();
  int child_errno = 0;
  ssize_t count;
  do {
    count = ::read(report_pipe->read_end.get(), &child_errno, sizeof child_errno);
  } while (count < 0 && errno == EINTR);
  if (count == static_cast<ssize_t>(sizeof child_errno)) {
    // The child failed before the Core ran: collect it.
    (void)child.wait();
    return Error::from_os(child_errno);
  }
  return SpawnedCore{std::move(child), std::move(stderr_pipe->read_end)};
}

}  // namespace service::hub
