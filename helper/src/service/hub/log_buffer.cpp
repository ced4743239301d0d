#include "service/hub/log_buffer.hpp"

namespace service::hub {

Guarded<LogLines>& LOGS() {
  // Never destroyed: a detached watcher may still log while the process exits.
  static auto* logs = new Guarded<LogLines>();
  return *logs;
}

void log_message(std::string line) {
  auto lines = lock_surviving_poison(LOGS());
  while (lines->size() >= LOG_CAPACITY)
    lines->pop_front();
  lines->push_back(std::move(line));
}

std::string read_logs() {
  std::string body;
  auto lines = lock_surviving_poison(LOGS());
  for (std::size_t i = 0; i < lines->size(); ++i) {
    if (i > 0)
      body += '\n';
    body += (*lines)[i];
  }
  return body;
}

}  // namespace service::hub
