#include "service/hub/core_watcher.hpp"

#include "common/exit_status.hpp"
#include "common/utf8.hpp"
#include "service/hub/core_registry.hpp"
#include "service/hub/log_buffer.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <thread>

namespace service::hub {

namespace {

// Where to cut `text` at or just before `at` without splitting a UTF-8
// character: back over at most three continuation bytes, else at `at` itself
// (those bytes are not UTF-8, and the relay stops at them anyway).
std::size_t character_boundary(std::string_view text, std::size_t at) {
  for (std::size_t cut = at; cut > 0 && at - cut < 4; --cut) {
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80)
      return cut;
  }
  return at;
}

}  // namespace

bool StderrRelay::emit(std::string_view line) {
  // A line longer than the bound goes out in pieces, each checked on its own.
  while (line.size() > MAX_RELAYED_LINE) {
    const std::size_t cut = character_boundary(line, MAX_RELAYED_LINE);
    if (!emit(line.substr(0, cut)))
      return false;
    line.remove_prefix(cut);
  }
  if (!is_valid_utf8(line)) {
    stopped_ = true;
    return false;
  }
  log_message(std::string(line));
  return true;
}

bool StderrRelay::feed(std::string_view bytes) {
  if (stopped_)
    return false;
  pending_.append(bytes);
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    std::size_t length = end - start;
    if (length > 0 && pending_[end - 1] == '\r')
      --length;
    if (!emit(std::string_view(pending_).substr(start, length)))
      return false;
  }
  pending_.erase(0, start);
  // A Core that never writes a line feed must not grow the helper's memory.
  if (pending_.size() > MAX_RELAYED_LINE) {
    const std::size_t keep = pending_.size() % MAX_RELAYED_LINE;
    const std::size_t cut = character_boundary(pending_, pending_.size() - keep);
    if (!emit(std::string_view(pending_).substr(0, cut)))
      return false;
    pending_.erase(0, cut);
  }
  return true;
}

void StderrRelay::finish() {
  if (!stopped_ && !pending_.empty())
    emit(pending_);
  pending_.clear();
}

void watch_core(std::string session_id, UniqueFd stderr_read_end) {
  {
    StderrRelay relay;
    std::array<char, 8192> buffer;
    for (;;) {
      const ssize_t count = ::read(stderr_read_end.get(), buffer.data(), buffer.size());
      if (count < 0 && errno == EINTR)
        continue;
      if (count < 0)
        break;
      if (count == 0) {
        relay.finish();
        break;
      }
      if (!relay.feed(std::string_view(buffer.data(), static_cast<std::size_t>(count))))
        break;
    }
    stderr_read_end.reset();
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  for (;;) {
    {
      auto registry = lock_surviving_poison(MANAGED_CORE());
      if (!*registry || (*registry)->session_id != session_id)
        return;
      auto exited = (*registry)->process.try_wait();
      if (!exited)
        return;
      if (*exited) {
        log_message("Core exited on its own: " +
                    exit_status_text(*(*registry)->process.wait_status()));
        registry->reset();
        return;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace service::hub
