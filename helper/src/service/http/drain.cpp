#include "service/http/drain.hpp"

namespace service::http {

Drain::Hold Drain::hold() {
  std::lock_guard lock(mutex_);
  ++held_;
  return Hold(shared_from_this());
}

void Drain::when_empty(std::function<void()> done) {
  {
    std::lock_guard lock(mutex_);
    if (held_ > 0) {
      done_ = std::move(done);
      return;
    }
  }
  done();
}

void Drain::release() {
  std::function<void()> done;
  {
    std::lock_guard lock(mutex_);
    if (--held_ == 0)
      done = std::move(done_);
  }
  if (done)
    done();
}

}  // namespace service::http
