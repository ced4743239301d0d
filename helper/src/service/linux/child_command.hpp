#pragma once

#include "common/error.hpp"

#include <string>
#include <vector>

namespace service::linux {

// How a child's standard streams are wired.
enum class ChildStreams {
  // Input, output and error are the helper's own.
  Inherit,
  // Input is inherited; output and error go to /dev/null.
  DiscardOutput,
  // Input is /dev/null; output is captured, error is read and dropped.
  CaptureOutput,
};

struct ChildExit {
  int wait_status = 0;
  // Everything written to standard output (CaptureOutput only).
  std::string output;
};

// Runs `argv[0]`, found through PATH, with `argv` and the helper's
// environment, and waits for it. An error means it could not be started,
// read from or waited for; its exit status is the caller's to judge.
Result<ChildExit> run_child(const std::vector<std::string>& argv, ChildStreams streams);

bool exited_with_zero(int wait_status);

}  // namespace service::linux
