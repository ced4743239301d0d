#pragma once

#include "common/error.hpp"

#include <sys/types.h>

#include <utility>

namespace service {

// A child that is always collected: dropping it kills and waits for it,
// unless it has been waited for or handed on with release().
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  ChildProcess& operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
      kill_and_wait();
      pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { kill_and_wait(); }

  pid_t id() const { return pid_; }
  // Blocks until the child ends; its wait status.
  Result<int> wait();
  // SIGKILL, then wait; nothing is reported.
  void kill_and_wait();
  // The caller takes over the duty to collect the child.
  pid_t release() { return std::exchange(pid_, -1); }

 private:
  pid_t pid_;
};

}  // namespace service
