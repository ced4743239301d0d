#pragma once

#include "common/child_process.hpp"
#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "service/hub/core_registry.hpp"
#include "service/hub/core_verification.hpp"
#include "service/linux/owner_ids.hpp"

#include <string>

namespace service::hub {

// The step that runs in the child before the Core is executed: real IDs
// become the owner's, effective and saved IDs stay root's.
struct CoreOwnerStep {
  std::uint32_t uid;
  std::uint32_t gid;
};

// Reads the owner again from the environment for the child's step.
Result<CoreOwnerStep> adopt_core_owner();

// Spawns the verified Core as [path, address] in its directory with its
// standard error on a new pipe, and returns once it has executed or failed.
// The child's failure comes back as its errno. Until its process is handed
// to the registry, dropping it kills and collects the Core.
struct SpawnedCore {
  ChildProcess process;
  UniqueFd stderr_read_end;
};
Result<SpawnedCore> spawn_core(const VerifiedCore& core, const std::string& address,
                               CoreOwnerStep owner);

}  // namespace service::hub
