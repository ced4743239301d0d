#include "service/hub/core_registry.hpp"

#include <signal.h>

#include <thread>

namespace service::hub {

Guarded<CoreSlot>& MANAGED_CORE() {
  static Guarded<CoreSlot> registry;
  return registry;
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
  ManagedCore& core = *registry;
  if (core.process.send_signal(SIGTERM)) {
    auto outcome = core.wait_for_exit(CORE_TERM_GRACE);
    if (!outcome)
      return outcome.error();
    if (*outcome == CoreExit::Exited) {
      registry.reset();
      return {};
    }
  }
  if (!core.process.wait_status())
    core.process.send_signal(SIGKILL);
  auto outcome = core.wait_for_exit(CORE_KILL_GRACE);
  if (!outcome)
    return outcome.error();
  if (*outcome == CoreExit::Exited) {
    registry.reset();
    return {};
  }
  return Error("Core did not exit after termination");
}

}  // namespace service::hub
