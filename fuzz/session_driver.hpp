#pragma once

#include "service/http/message.hpp"
#include "service/hub/core_operations.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzing {

// The Core operations without a Core: nothing is spawned and no registry
// changes. Each answers with the record it was given, so a reply shows what
// the routes decoded.
class StandInCore final : public service::hub::CoreOperations {
 public:
  service::hub::CoreStep start(const service::hub::StartParams& params) const override;
  service::hub::CoreStep stop(const service::hub::StopParams& params) const override;
  service::http::Response ping(const service::hub::PingParams& params) const override;
};

struct Conversation {
  std::string output;               // every byte the helper wrote
  std::size_t heads = 0;            // request heads the route filter judged
  std::vector<bool> head_requests;  // for each of them, whether it was HEAD
  bool closed = false;              // the helper closed the connection
  std::size_t held_bytes = 0;       // heap the helper held once all input was read
};

// One fresh connection, served by the helper's own server code (sniffing,
// both sessions, the real route filter over StandInCore), fed `input` over
// a socket pair as fast as it takes it. Runs until the helper has read
// everything and has nothing left to do, then stops the server as SIGTERM
// would and runs until it has drained.
Conversation converse(std::string_view input);

// The helper's heap in use now (ASan's count under ASan).
std::size_t heap_in_use();

}  // namespace fuzzing
