#include "support/subprocess.hpp"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings)
    result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// A seccomp filter that answers close_range(2) with ENOSYS and lets every
// other call through; inherited by whatever the child starts.
bool deny_close_range() {
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

}  // namespace

std::mutex& identity_lock() {
  static std::mutex lock;
  return lock;
}

namespace {

pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, int out_fd, int err_fd,
            const SpawnOptions& options = {}) {
  auto args = pointers(argv);
  auto vars = pointers(env);
  const pid_t pid = [] {
    const std::lock_guard lock(identity_lock());
    return ::fork();
  }();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null, 0);
    if (out_fd >= 0)
      ::dup2(out_fd, 1);
    if (err_fd >= 0)
      ::dup2(err_fd, 2);
    if (options.gid && ::setresgid(*options.gid, *options.gid, *options.gid) != 0)
      ::_exit(126);
    if (options.open_file_limit) {
      const rlimit limit{*options.open_file_limit, *options.open_file_limit};
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        ::_exit(126);
    }
    if (options.open_file_soft_limit) {
      rlimit limit{};
      ::getrlimit(RLIMIT_NOFILE, &limit);
      limit.rlim_cur = *options.open_file_soft_limit;
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        ::_exit(126);
    }
    if (options.inherited_fd && ::fcntl(*options.inherited_fd, F_SETFD, 0) != 0)
      ::_exit(126);
    if (options.without_close_range && !deny_close_range())
      ::_exit(126);
    ::execve(args[0], args.data(), vars.data());
    ::_exit(127);
  }
  return pid;
}

void drain(int fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    return;
  }
}

}  // namespace

bool Outcome::exited_with(int code) const {
  return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code;
}

Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = spawn(argv, env, out_pipe[1], err_pipe[1]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  Outcome outcome;
  std::thread out_reader([&] { drain(out_pipe[0], outcome.out); });
  drain(err_pipe[0], outcome.err);
  out_reader.join();
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  while (::waitpid(pid, &outcome.wait_status, 0) < 0 && errno == EINTR) {
  }
  return outcome;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const SpawnOptions& options) {
  int err_pipe[2];
  if (::pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_ = spawn(argv, env, -1, err_pipe[1], options);
  ::close(err_pipe[1]);
  err_fd_ = err_pipe[0];
}

Child::~Child() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  ::close(err_fd_);
}

std::optional<int> Child::wait_for(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!status_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

std::string Child::read_err(bool until_end) {
  if (until_end) {
    drain(err_fd_, err_);
  } else {
    pollfd watched{err_fd_, POLLIN, 0};
    while (::poll(&watched, 1, 0) > 0 && (watched.revents & POLLIN)) {
      char buffer[4096];
      const ssize_t n = ::read(err_fd_, buffer, sizeof buffer);
      if (n <= 0)
        break;
      err_.append(buffer, static_cast<std::size_t>(n));
    }
  }
  return err_;
}

}  // namespace testing_support
