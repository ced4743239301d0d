#include "service/http/drain.hpp"

namespace service::http {

Drain::Hold Drain::hold() {
  held_.fetch_add(1, std::memory_order_relaxed);
  return Hold(shared_from_this());
}

void Drain::when_empty(std::function<void()> done) {
  std::unique_lock lock(mutex_);
  if (held_.load(std::memory_order_acquire) > 0) {
    done_ = std::move(done);
    return;
  }
  lock.unlock();
  done();
}

void Drain::release() {
  if (held_.fetch_sub(1, std::memory_order_acq_rel) != 1)
    return;
  std::function<void()> done;
  {
    std::lock_guard lock(mutex_);
    if (held_.load(std::memory_order_acquire) == 0)
      done = std::move(done_);
  }
  if (done)
    done();
}

}  // namespace service::http
