#pragma once

#include "support/subprocess.hpp"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

inline constexpr uid_t kOwnerUid = 4242;
inline constexpr gid_t kOwnerGid = 4242;
inline constexpr uid_t kStrangerUid = 4343;  // another user in the owner's group
inline constexpr const char* kSocketPath = "/run/korvane-vesk/helper.sock";
inline constexpr const char* kShippedDir = "/run/korvane-test";

// Moves this process into a private mount namespace with tmpfs over /run
// and /tmp, creates /run/korvane-vesk as systemd would, and ships the helper
// and its Core to a root-owned directory there. Call before any thread.
void enter_helper_sandbox();

std::string shipped_helper();
std::string shipped_core();

// The helper service, run as root with the owner's group, as the unit does.
class HelperService {
 public:
  struct Options {
    std::optional<unsigned> open_file_limit;
    bool wait_until_ready = true;
    SpawnOptions spawn = {};
    // Added to ASAN_OPTIONS: memory tests keep the quarantine small, so
    // that freed memory is not counted as held.
    std::string asan_options = {};
  };
  HelperService();
  explicit HelperService(Options options);
  ~HelperService();

  pid_t pid() const;
  // Signals the service and waits for its exit; the wait status.
  int stop(int signal = 15);
  std::optional<int> wait_for(double seconds);
  std::string stderr_text();

 private:
  std::optional<Child> child_;
};

// Connects to the helper socket as `uid`/`gid` (effective IDs, which the
// kernel records as the peer's); -1 with errno on failure.
int connect_as(uid_t uid, gid_t gid, const char* path = kSocketPath);

void send_all(int fd, const std::string& bytes);
// One HTTP/1.1 response with a Content-Length (no body after a HEAD), or
// empty at end of input.
std::string read_response(int fd, bool head_request = false);
// Everything until the peer closes.
std::string read_to_end(int fd);

// One request on a fresh owner connection; the raw response.
std::string exchange(const std::string& request);

// curl as the owner against the helper socket; its standard output.
Outcome curl(std::vector<std::string> arguments);

// A Unix socket at `address` owned by the owner, which the Core connects to.
class CoreControl {
 public:
  explicit CoreControl(std::string address);
  ~CoreControl();
  // Waits for the Core to connect.
  bool accept_core(double seconds = 10);
  // Sends one command and waits for its "ok".
  bool command(const std::string& line);
  // Sends one command and returns the line it answers before its "ok".
  std::string query(const std::string& line);
  // True once the connected Core has closed its end (it has ended).
  bool core_has_gone(double seconds = 10);

 private:
  std::string address_;
  int listener_ = -1;
  int core_ = -1;
};

std::string start_body(const std::string& address, const std::string& session);
std::string post(const std::string& path, const std::string& body);
// The "pid" of a StartResponse.
pid_t started_pid(const std::string& response);
std::string logs();

}  // namespace testing_support
