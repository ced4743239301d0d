#pragma once

#include "common/unique_fd.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace service::hub {

// One relayed line at most this long; a longer run without a line feed is
// cut at UTF-8 character boundaries into several lines.
inline constexpr std::size_t MAX_RELAYED_LINE = 64 * 1024;

// Splits the Core's standard error into log lines.
class StderrRelay {
 public:
  // Takes more bytes; false once the relay has stopped (a line that is not
  // UTF-8).
  bool feed(std::string_view bytes);
  // The end of input: what is left is one more line.
  void finish();

 private:
  bool emit(std::string_view line);
  std::string pending_;
  bool stopped_ = false;
};

// The watcher thread's work: relay standard error until it ends, then look
// for up to 1.5 s whether the Core of `session_id` exited and report it.
void watch_core(std::string session_id, UniqueFd stderr_read_end);

}  // namespace service::hub
