#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct Outcome {
  int wait_status = 0;
  std::string out;
  std::string err;
  bool exited_with(int code) const;
};

// How a child starts: with another group ID, other open-file limits, a
// descriptor of ours left open across exec, or without close_range(2)
// (which then fails with ENOSYS, as on kernels before 5.9).
struct SpawnOptions {
  std::optional<gid_t> gid;
  std::optional<unsigned> open_file_limit;       // soft and hard
  std::optional<unsigned> open_file_soft_limit;  // soft only
  std::optional<int> inherited_fd;
  bool without_close_range = false;
};

// Held while a thread borrows other effective IDs (they are the whole
// process's) and while a child is forked, so that no child starts with them.
std::mutex& identity_lock();

// Runs `argv` to its end with exactly `env` as environment ("NAME=value"),
// capturing both output streams.
Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// A child started in the background, killed and collected when dropped.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
        const SpawnOptions& options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Waits up to `seconds` for the child to end; empty when it did not.
  std::optional<int> wait_for(double seconds);
  // Everything the child wrote to standard error so far (blocking until end
  // when `until_end`).
  std::string read_err(bool until_end);

 private:
  pid_t pid_ = -1;
  int err_fd_ = -1;
  std::optional<int> status_;
  std::string err_;
};

}  // namespace testing_support
