#include "service/linux/child_command.hpp"

#include "common/child_process.hpp"
#include "common/pipe.hpp"
#include "common/unique_fd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

extern char** environ;

namespace service::linux {

namespace {

// posix_spawn's file actions and attributes, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    init_error_ = ::posix_spawn_file_actions_init(&actions_);
    if (init_error_ == 0) {
      init_error_ = ::posix_spawnattr_init(&attributes_);
      if (init_error_ != 0)
        ::posix_spawn_file_actions_destroy(&actions_);
    }
  }
  ~SpawnSetup() {
    if (init_error_ == 0) {
      ::posix_spawnattr_destroy(&attributes_);
      ::posix_spawn_file_actions_destroy(&actions_);
    }
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  int init_error() const { return init_error_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  int init_error_ = 0;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// Reads both pipes to their ends at once, so a child that fills one while
// we wait on the other cannot stall. Only the output is kept.
Result<void> drain(UniqueFd output, UniqueFd error, std::string& kept) {
  std::array<pollfd, 2> watched{{{output.get(), POLLIN, 0}, {error.get(), POLLIN, 0}}};
  char buffer[4096];
  while (watched[0].fd >= 0 || watched[1].fd >= 0) {
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR)
        continue;
      return Error::last_os();
    }
    for (std::size_t i = 0; i < watched.size(); ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0)
        continue;
      const ssize_t n = ::read(watched[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        if (i == 0)
          kept.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0) {
        watched[i].fd = -1;
      } else if (errno != EINTR) {
        return Error::last_os();
      }
    }
  }
  return {};
}

}  // namespace

bool exited_with_zero(int wait_status) {
  return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

Result<ChildExit> run_child(const std::vector<std::string>& argv, ChildStreams streams) {
  std::vector<char*> args;
  for (const auto& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  SpawnSetup setup;
  if (setup.init_error() != 0)
    return Error::from_os(setup.init_error());

  Pipe output;
  Pipe error;
  int failed = 0;
  const auto step = [&failed](int code) {
    if (failed == 0)
      failed = code;
  };
  switch (streams) {
    case ChildStreams::Inherit:
      break;
    case ChildStreams::DiscardOutput:
      step(::posix_spawn_file_actions_addopen(setup.actions(), 1, "/dev/null", O_WRONLY, 0));
      step(::posix_spawn_file_actions_adddup2(setup.actions(), 1, 2));
      break;
    case ChildStreams::CaptureOutput:
      if (auto made = Pipe::open(); made)
        output = std::move(*made);
      else
        return made.error();
      if (auto made = Pipe::open(); made)
        error = std::move(*made);
      else
        return made.error();
      step(::posix_spawn_file_actions_addopen(setup.actions(), 0, "/dev/null", O_RDONLY, 0));
      step(::posix_spawn_file_actions_adddup2(setup.actions(), output.write_end.get(), 1));
      step(::posix_spawn_file_actions_adddup2(setup.actions(), error.write_end.get(), 2));
      break;
  }
  // The helper ignores SIGPIPE for itself; its children get the usual
  // disposition and an empty signal mask.
  sigset_t empty;
  sigset_t defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  step(::posix_spawnattr_setsigmask(setup.attributes(), &empty));
  step(::posix_spawnattr_setsigdefault(setup.attributes(), &defaults));
  step(::posix_spawnattr_setflags(setup.attributes(),
                                  POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  if (failed != 0)
    return Error::from_os(failed);

  // posix_spawnp reports a failed exec (a missing program, for one) as its
  // result, so the caller sees the real errno.
  pid_t pid = -1;
  const int spawned =
      ::posix_spawnp(&pid, args[0], setup.actions(), setup.attributes(), args.data(), environ);
  if (spawned != 0)
    return Error::from_os(spawned);
  ChildProcess child(pid);
  output.write_end.reset();
  error.write_end.reset();

  ChildExit exit;
  if (streams == ChildStreams::CaptureOutput) {
    if (auto drained = drain(std::move(output.read_end), std::move(error.read_end), exit.output);
        !drained)
      return drained.error();
  }
  auto status = child.wait();
  if (!status)
    return status.error();
  exit.wait_status = *status;
  return exit;
}

}  // namespace service::linux
