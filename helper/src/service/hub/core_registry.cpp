#include "service/hub/core_registry.hpp"

#include <signal.h>

#include <thread>

namespace service::hub {

Guarded<CoreSlot>& MANAGED_CORE() {
  // Never destroyed: a detached watcher may still look at it while the
  // process exits.
  static auto* registry = new Guarded<CoreSlot>();
  return *registry;
}

Result<CoreExit> ManagedCore::wait_for_exit(std::chrono::nanoseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto exited = process.try_wait();
    if (!exited)
      return exited.error();
    if (*exited)
      return CoreExit::Exited;
    if (std::chrono::steady_clock::now() >= deadline)
      return CoreExit::NotExited;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Result<void> release_managed_core(CoreSlot& registry) {
  if (!registry)
    return {};
  // Waits up to `grace`; true once the Core has exited and the record is gone.
  const auto exited_within = [&registry](std::chrono::nanoseconds grace) -> Result<bool> {
    auto outcome = registry->wait_for_exit(grace);
    if (!outcome)
      return outcome.error();
    if (*outcome == CoreExit::NotExited)
      return false;
    registry.reset();
    return true;
  };
  if (registry->process.send_signal(SIGTERM)) {
    auto exited = exited_within(CORE_TERM_GRACE);
    if (!exited || *exited)
      return exited ? Result<void>() : Result<void>(exited.error());
  }
  if (!registry->process.wait_status())
    registry->process.send_signal(SIGKILL);
  auto exited = exited_within(CORE_KILL_GRACE);
  if (!exited)
    return exited.error();
  if (!*exited)
    return Error("Core did not exit after termination");
  return {};
}

}  // namespace service::hub
