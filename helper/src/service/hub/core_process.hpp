#pragma once

#include "common/error.hpp"

#include <sys/types.h>

#include <optional>

namespace service::hub {

// The handle of a spawned Core: its ID and, once collected, its wait status.
// Dropping it neither signals nor waits; stopping is always explicit.
class CoreProcess {
 public:
  explicit CoreProcess(pid_t pid) : pid_(pid) {}

  pid_t id() const { return pid_; }
  std::optional<int> wait_status() const { return wait_status_; }

  // Asks without blocking whether the process has exited, and collects it if so.
  Result<bool> try_wait();
  // True when the signal was sent.
  bool send_signal(int signal) const;

 private:
  pid_t pid_;
  std::optional<int> wait_status_;
};

}  // namespace service::hub
