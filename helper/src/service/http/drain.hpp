#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace service::http {

// What the shutdown waits for: every open connection and every piece of
// blocking work already started, whichever protocol carried it.
class Drain : public std::enable_shared_from_this<Drain> {
 public:
  // One thing to wait for, let go when dropped.
  class Hold {
   public:
    Hold() = default;
    explicit Hold(std::shared_ptr<Drain> drain) : drain_(std::move(drain)) {}
    Hold(Hold&&) noexcept = default;
    Hold& operator=(Hold&& other) noexcept {
      if (this != &other) {
        reset();
        drain_ = std::move(other.drain_);
      }
      return *this;
    }
    ~Hold() { reset(); }
    void reset() {
      if (auto drain = std::move(drain_))
        drain->release();
    }

   private:
    std::shared_ptr<Drain> drain_;
  };

  Hold hold();
  // Calls `done` once nothing is held any more: at once if nothing is, else
  // on the thread that lets go last.
  void when_empty(std::function<void()> done);

 private:
  void release();

  // Taken and let go by every request that does blocking work, on every
  // loop: a counter, not a lock.
  std::atomic<std::size_t> held_ = 0;
  std::mutex mutex_;  // guards done_
  std::function<void()> done_;
};

}  // namespace service::http
