#pragma once

#include "common/error.hpp"
#include "common/guarded.hpp"
#include "service/hub/core_process.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace service::hub {

enum class CoreExit { Exited, NotExited };

// The one Core the helper manages. Holding it is the right to wait for and
// signal the process, so its ID cannot be reused while it is registered.
struct ManagedCore {
  std::string session_id;
  CoreProcess process;

  // Polls every 20 ms on the monotonic clock until the Core exits or the
  // time is up. The first query comes at once.
  Result<CoreExit> wait_for_exit(std::chrono::nanoseconds timeout);
};

using CoreSlot = std::optional<ManagedCore>;

Guarded<CoreSlot>& MANAGED_CORE();

inline constexpr std::chrono::nanoseconds CORE_TERM_GRACE = std::chrono::seconds(3);
inline constexpr std::chrono::nanoseconds CORE_KILL_GRACE = std::chrono::milliseconds(1500);

// SIGTERM, up to 3 s, SIGKILL unless already collected, up to 1.5 s. The
// caller holds the MANAGED_CORE lock for the whole call. On failure the
// record stays, so a later release starts again with SIGTERM.
Result<void> release_managed_core(CoreSlot& registry);

}  // namespace service::hub
