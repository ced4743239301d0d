#include "service/hub/core_operations.hpp"

namespace service::hub {

namespace {

class ManagedCoreOperations final : public CoreOperations {
 public:
  CoreStep start(const StartParams& params) const override { return start_core(params); }
  CoreStep stop(const StopParams& params) const override { return stop_core(params); }
  http::Response ping(const PingParams& params) const override { return ping_core(params); }
};

}  // namespace

const CoreOperations& managed_core_operations() {
  static const ManagedCoreOperations operations;
  return operations;
}

}  // namespace service::hub
