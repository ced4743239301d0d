#pragma once

#include "common/error.hpp"
#include "common/unique_fd.hpp"

namespace service {

// Both ends of a pipe, each close-on-exec and closed when dropped.
struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;

  static Result<Pipe> open();
};

}  // namespace service
